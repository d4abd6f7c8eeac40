#include "ui/GraphicEqEditor.h"

#include "ui/Controls.h"
#include "ui/Skin.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace stravik::ui {
namespace {

constexpr double kGrabRadius = 7.0; // pixels around a point that pick it
constexpr double kPointRadius = 4.0;
const double kDecades = std::log10(GraphicEqEditor::kHighestHz / GraphicEqEditor::kLowestHz);

// A moved or added point lands on whole hertz and tenths of a decibel, which
// keeps the stored presets readable.
GraphicEqEditor::Point tidy(GraphicEqEditor::Point p)
{
    p.hz = std::clamp(std::round(p.hz), GraphicEqEditor::kLowestHz, GraphicEqEditor::kHighestHz);
    p.db = std::clamp(std::round(p.db * 10.0) / 10.0, GraphicEqEditor::kLowestDb, GraphicEqEditor::kHighestDb);
    return p;
}

QString hzLabel(double hz) { return hz >= 1000 ? QString::number(hz / 1000) + "k" : QString::number(hz); }

} // namespace

GraphicEqEditor::GraphicEqEditor(effects::EqualiserSettings& settings, std::function<void()> after,
                                 const QString& tip, QWidget* parent)
    : QWidget(parent), settings_(settings), after_(std::move(after)), menu_(new QMenu(this))
{
    setToolTip(tip);
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    connect(menu_->addAction("Select &all"), &QAction::triggered, this, &GraphicEqEditor::selectAll);
    connect(menu_->addAction("&Reset"), &QAction::triggered, this, &GraphicEqEditor::reset);
    connect(menu_->addAction("Copy setting\t(Ctrl+C)"), &QAction::triggered, this, &GraphicEqEditor::copySetting);
    connect(menu_->addAction("Paste setting\t(Ctrl+V)"), &QAction::triggered, this, &GraphicEqEditor::pasteSetting);
    refresh();
}

void GraphicEqEditor::refresh()
{
    const int count = std::clamp(settings_.pointCount.get(), 0, kMaxPoints);
    std::vector<Marked> read(static_cast<size_t>(count));
    for (int k = 0; k < count; ++k)
        read[static_cast<size_t>(k)].point = {settings_.pointX[k].get(), settings_.pointY[k].get()};
    std::stable_sort(read.begin(), read.end(), [](const Marked& a, const Marked& b) { return a.point.hz < b.point.hz; });
    // The same curve keeps its selection (a refresh after our own change).
    const bool same = read.size() == points_.size() &&
                      std::equal(read.begin(), read.end(), points_.begin(),
                                 [](const Marked& a, const Marked& b) { return a.point == b.point; });
    if (!same) points_ = std::move(read);
    update();
}

std::vector<GraphicEqEditor::Point> GraphicEqEditor::points() const
{
    std::vector<Point> out;
    out.reserve(points_.size());
    for (const Marked& m : points_) out.push_back(m.point);
    return out;
}

bool GraphicEqEditor::selected(int index) const
{
    return index >= 0 && index < static_cast<int>(points_.size()) && points_[static_cast<size_t>(index)].selected;
}

int GraphicEqEditor::selectedCount() const
{
    return static_cast<int>(std::count_if(points_.begin(), points_.end(), [](const Marked& m) { return m.selected; }));
}

void GraphicEqEditor::selectAll()
{
    for (Marked& m : points_) m.selected = true;
    update();
}

void GraphicEqEditor::reset()
{
    const int chosen = selectedCount();
    if (chosen == 0 || chosen == static_cast<int>(points_.size())) {
        setPoints({{{100.0, 0.0}, false}, {{20000.0, 0.0}, false}});
        return;
    }
    std::vector<Marked> next = points_;
    for (Marked& m : next)
        if (m.selected) m.point.db = 0.0;
    setPoints(std::move(next));
}

void GraphicEqEditor::copySetting()
{
    // Nine significant digits give every stored single-precision value back
    // exactly.
    QString text;
    for (const Marked& m : points_)
        text += QString::number(m.point.hz, 'g', 9) + ' ' + QString::number(m.point.db, 'g', 9) + '\n';
    auto* data = new QMimeData;
    data->setData(kMimeType, text.toUtf8());
    data->setText(text);
    QApplication::clipboard()->setMimeData(data);
}

void GraphicEqEditor::pasteSetting()
{
    const QMimeData* data = QApplication::clipboard()->mimeData();
    if (!data) return;
    const QString text = data->hasFormat(kMimeType) ? QString::fromUtf8(data->data(kMimeType)) : data->text();
    std::vector<Marked> pasted;
    for (const QString& line : text.split('\n', Qt::SkipEmptyParts)) {
        const QStringList pair = line.simplified().split(' ');
        bool hzOk = false, dbOk = false;
        const double hz = pair.size() == 2 ? pair[0].toDouble(&hzOk) : 0.0;
        const double db = pair.size() == 2 ? pair[1].toDouble(&dbOk) : 0.0;
        // Anything but a list of points (some other text on the clipboard)
        // leaves the curve alone.
        if (!hzOk || !dbOk || !(hz > 0.0) || !std::isfinite(hz) || !std::isfinite(db) ||
            pasted.size() == static_cast<size_t>(kMaxPoints))
            return;
        pasted.push_back({{hz, std::clamp(db, kLowestDb, kHighestDb)}, false});
    }
    if (pasted.empty()) return;
    setPoints(std::move(pasted));
}

void GraphicEqEditor::removeSelected()
{
    std::vector<Marked> next;
    for (const Marked& m : points_)
        if (!m.selected) next.push_back(m);
    if (next.size() != points_.size()) setPoints(std::move(next));
}

void GraphicEqEditor::setPoints(std::vector<Marked> points)
{
    std::stable_sort(points.begin(), points.end(),
                     [](const Marked& a, const Marked& b) { return a.point.hz < b.point.hz; });
    points_ = std::move(points);
    store();
    update();
    emit changed();
}

void GraphicEqEditor::store()
{
    const int count = static_cast<int>(points_.size());
    for (int k = 0; k < count; ++k) {
        settings_.pointX[k] = static_cast<float>(points_[static_cast<size_t>(k)].point.hz);
        settings_.pointY[k] = static_cast<float>(points_[static_cast<size_t>(k)].point.db);
    }
    settings_.pointCount = count;
    if (after_) after_();
    // What is shown is what is stored, to the last bit.
    for (int k = 0; k < count; ++k)
        points_[static_cast<size_t>(k)].point = {settings_.pointX[k].get(), settings_.pointY[k].get()};
}

// ---- drawing

QRectF GraphicEqEditor::plotArea() const
{
    const QFontMetrics fm(font());
    const double left = fm.horizontalAdvance("+20") + 8;
    return QRectF(left, 6, width() - left - 10, height() - 6 - fm.height() - 4);
}

QPointF GraphicEqEditor::toScreen(const Point& p) const
{
    const QRectF a = plotArea();
    const double hz = std::clamp(p.hz, kLowestHz, kHighestHz);
    const double db = std::clamp(p.db, kLowestDb, kHighestDb);
    return {a.left() + a.width() * std::log10(hz / kLowestHz) / kDecades,
            a.top() + a.height() * (kHighestDb - db) / (kHighestDb - kLowestDb)};
}

GraphicEqEditor::Point GraphicEqEditor::fromScreen(const QPointF& s) const
{
    const QRectF a = plotArea();
    const double x = std::clamp((s.x() - a.left()) / a.width(), 0.0, 1.0);
    const double y = std::clamp((s.y() - a.top()) / a.height(), 0.0, 1.0);
    return {kLowestHz * std::pow(10.0, x * kDecades), kHighestDb - y * (kHighestDb - kLowestDb)};
}

int GraphicEqEditor::pointAt(const QPointF& s) const
{
    int best = -1;
    double bestDistance = kGrabRadius;
    for (size_t k = 0; k < points_.size(); ++k) {
        const QPointF d = toScreen(points_[k].point) - s;
        const double distance = std::hypot(d.x(), d.y());
        if (distance <= bestDistance) {
            bestDistance = distance;
            best = static_cast<int>(k);
        }
    }
    return best;
}

void GraphicEqEditor::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF a = plotArea();
    QFont small = font();
    small.setPointSize(kSecondaryPoints);
    p.setFont(small);
    const QFontMetrics fm(small);

    p.fillRect(a, colour::window);
    if (hasFocus()) {
        p.setPen(QPen(colour::accent, 1));
        p.drawRect(a.adjusted(-0.5, -0.5, 0.5, 0.5));
    }

    // Frequencies: a line at 1, 2 and 5 of every decade; the 1s and 5s
    // labelled (the 2s sit too close for their figures).
    const QColor gridLine = colour::group.lighter(115);
    for (double decade = 10; decade <= 10000; decade *= 10) {
        for (double step : {1.0, 2.0, 5.0}) {
            const double hz = decade * step;
            if (hz < kLowestHz || hz > kHighestHz) continue;
            const double x = toScreen({hz, 0}).x();
            p.setPen(QPen(step == 1.0 ? gridLine.lighter(125) : gridLine, 1));
            p.drawLine(QPointF(x, a.top()), QPointF(x, a.bottom()));
            if (step == 2.0) continue;
            const QString label = hzLabel(hz);
            const double w = fm.horizontalAdvance(label);
            const double left = std::clamp(x - w / 2, a.left() - 2, a.right() - w + 2);
            p.setPen(colour::secondaryText);
            p.drawText(QPointF(left, a.bottom() + fm.ascent() + 3), label);
        }
    }
    // Gains: every 10 dB, 0 dB stronger.
    for (int db = -20; db <= 20; db += 10) {
        const double y = toScreen({kLowestHz, static_cast<double>(db)}).y();
        p.setPen(QPen(db == 0 ? colour::secondaryText : gridLine, 1));
        p.drawLine(QPointF(a.left(), y), QPointF(a.right(), y));
        const QString label = db > 0 ? QString("+%1").arg(db) : QString::number(db);
        p.setPen(colour::secondaryText);
        p.drawText(QRectF(0, y - fm.height() / 2.0, a.left() - 4, fm.height()), Qt::AlignRight | Qt::AlignVCenter,
                   label);
    }

    // The curve: fewer than two points leave the sound as it is (flat); else
    // from point to point, held level beyond the first and the last.
    p.setClipRect(a.adjusted(-kPointRadius - 1, -kPointRadius - 1, kPointRadius + 1, kPointRadius + 1));
    QPainterPath curve;
    if (points_.size() < 2) {
        curve.moveTo(toScreen({kLowestHz, 0}));
        curve.lineTo(toScreen({kHighestHz, 0}));
    } else {
        curve.moveTo(a.left(), toScreen(points_.front().point).y());
        for (const Marked& m : points_) curve.lineTo(toScreen(m.point));
        curve.lineTo(a.right(), toScreen(points_.back().point).y());
    }
    p.setPen(QPen(isEnabled() ? colour::accent : colour::secondaryText, 2));
    p.drawPath(curve);

    for (const Marked& m : points_) {
        p.setPen(QPen(m.selected ? colour::text : colour::accent, 1.5));
        p.setBrush(m.selected ? colour::accent : colour::window);
        p.drawEllipse(toScreen(m.point), kPointRadius, kPointRadius);
    }
    p.setClipping(false);

    // One point chosen: its values in the corner, as it is moved.
    if (selectedCount() == 1) {
        const auto it = std::find_if(points_.begin(), points_.end(), [](const Marked& m) { return m.selected; });
        const QString reading = formatInt("%d Hz", static_cast<int>(std::lround(it->point.hz))) + "  " +
                                format("%+.1f dB", it->point.db);
        p.setPen(colour::text);
        p.drawText(a.adjusted(0, 2, -4, 0), Qt::AlignRight | Qt::AlignTop, reading);
    }
}

// ---- mouse and keys

void GraphicEqEditor::mousePressEvent(QMouseEvent* e)
{
    const int hit = pointAt(e->position());
    const bool toggle = e->modifiers() & Qt::ControlModifier;
    if (e->button() == Qt::LeftButton) {
        if (hit >= 0) {
            Marked& m = points_[static_cast<size_t>(hit)];
            if (toggle) {
                m.selected = !m.selected;
            } else if (!m.selected) {
                for (Marked& other : points_) other.selected = false;
                m.selected = true;
            }
            dragging_ = m.selected;
            dragStart_ = e->position();
            dragOrigin_ = points_;
        } else if (!toggle) {
            for (Marked& m : points_) m.selected = false;
        }
        update();
    } else if (e->button() == Qt::RightButton && hit >= 0 && !points_[static_cast<size_t>(hit)].selected) {
        // The menu then acts on the point clicked.
        for (Marked& m : points_) m.selected = false;
        points_[static_cast<size_t>(hit)].selected = true;
        update();
    }
    e->accept();
}

void GraphicEqEditor::mouseMoveEvent(QMouseEvent* e)
{
    if (!dragging_ || !(e->buttons() & Qt::LeftButton)) return;
    // Moves in octaves and decibels, the same for every selected point.
    const Point from = fromScreen(dragStart_);
    const Point to = fromScreen(e->position());
    const double ratio = to.hz / from.hz;
    const double lift = to.db - from.db;
    std::vector<Marked> moved = dragOrigin_;
    for (Marked& m : moved)
        if (m.selected) m.point = tidy({m.point.hz * ratio, m.point.db + lift});
    setPoints(std::move(moved));
}

void GraphicEqEditor::mouseReleaseEvent(QMouseEvent* e)
{
    if (e->button() == Qt::LeftButton) dragging_ = false;
}

void GraphicEqEditor::mouseDoubleClickEvent(QMouseEvent* e)
{
    if (e->button() != Qt::LeftButton || pointAt(e->position()) >= 0 ||
        static_cast<int>(points_.size()) >= kMaxPoints || !plotArea().contains(e->position()))
        return;
    std::vector<Marked> next = points_;
    for (Marked& m : next) m.selected = false;
    next.push_back({tidy(fromScreen(e->position())), true});
    setPoints(std::move(next));
}

void GraphicEqEditor::keyPressEvent(QKeyEvent* e)
{
    if (e->matches(QKeySequence::SelectAll)) {
        selectAll();
    } else if (e->matches(QKeySequence::Copy)) {
        copySetting();
    } else if (e->matches(QKeySequence::Paste)) {
        pasteSetting();
    } else if (e->key() == Qt::Key_Delete || e->key() == Qt::Key_Backspace) {
        removeSelected();
    } else if (e->key() == Qt::Key_Escape && selectedCount() > 0) {
        for (Marked& m : points_) m.selected = false;
        update();
    } else {
        QWidget::keyPressEvent(e);
    }
}

void GraphicEqEditor::contextMenuEvent(QContextMenuEvent* e)
{
    setFocus(Qt::PopupFocusReason);
    menu_->exec(e->globalPos());
}

} // namespace stravik::ui
