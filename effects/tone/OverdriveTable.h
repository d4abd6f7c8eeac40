#pragma once
// The Overdrive mode's diode clipper. The circuit's output y for an input w is
// the root of
//     F(y) = K*y - w + G(y)/2,   K = 1 / (10^(drive/333) + 10),
// where G is the current of the chosen diode pair (four clipping types). The
// root has no closed form, so it is solved once per drive and clipping type
// for 2000 inputs and the audio thread interpolates in that table.
//
// The inputs are spaced by a signed square, w_i = s(i*0.001 - 1) with
// s(x) = x*|x|, which puts most entries near 0 where quiet playing lives.
#include <atomic>

namespace stravik::effects {

enum ClippingType : int { kClipSoft = 0, kClipNormal = 1, kClipHard = 2, kClipXHard = 3 };

inline double signedSquare(double x) { return x < 0.0 ? -x * x : x * x; }

// K of the circuit for a drive of 0..1000.
double overdriveK(double drive);

// The diode current G(v) of a clipping type (types outside 0..3 are taken as
// the nearest one). Inside a type's linear zone G is the straight line through
// the origin that meets the exponential curve at the zone's positive edge.
double clippingCurve(int clipType, double v);

// Solves F(y) = 0: scans y from -2 to 2 in steps of 0.1 for a sign change (0
// counts as positive), then bisects until |F| < 1e-10. found is false when no
// sign change lies in [-2, 2]; y is then 0.
struct OverdriveRoot {
    double y;
    bool found;
};
OverdriveRoot solveOverdrive(double w, double k, int clipType);

class OverdriveTable {
public:
    static constexpr int kSize = 2000;

    OverdriveTable();

    // Input of entry i.
    static double entryInput(int i) { return signedSquare(i * 0.001 - 1.0); }

    // Recomputes every entry for this drive and clipping type. An input without
    // a root gets 0 and onMissingRoot() is called (the build goes on). Runs on
    // the background worker while the audio thread may read the table: each
    // entry is an atomic float, so a reader sees old or new values, never torn
    // ones.
    template <typename OnMissing>
    void build(double drive, int clipType, OnMissing&& onMissingRoot)
    {
        const double k = overdriveK(drive);
        for (int i = 0; i < kSize; ++i) {
            const OverdriveRoot r = solveOverdrive(entryInput(i), k, clipType);
            if (!r.found) onMissingRoot();
            table_[i].store(static_cast<float>(r.found ? r.y : 0.0), std::memory_order_relaxed);
        }
    }

    float entry(int i) const { return table_[i].load(std::memory_order_relaxed); }

    // Linear interpolation between the two entries around v; v is clamped to
    // [-1, 0.99] first (NaN counts as -1).
    double lookup(double v) const;

private:
    std::atomic<float> table_[kSize];
};

} // namespace stravik::effects
