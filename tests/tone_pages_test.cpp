// test-label: threads
// The tone pages' real widgets, offscreen: the I/O page's equaliser types
// show their own controls and its sliders map as labelled, the amp page's
// "Max len", the compressors' attack time, and the graphic editor's copy,
// paste and reset.
#include "WindowTest.h"

#include "ui/Controls.h"
#include "ui/EffectPage.h"
#include "ui/GraphicEqEditor.h"
#include "ui/pages/EqualiserPanel.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QKeyEvent>
#include <QApplication>
#include <QMenu>
#include <QMouseEvent>

using namespace stravik;
using namespace windowtest;

namespace {

constexpr int kAmp = 1, kIoControl = 2, kCompressor = 10;

// The slider row whose tooltip names this key.
ui::SliderRow* rowOf(QWidget* page, const QString& key)
{
    for (ui::SliderRow* row : page->findChildren<ui::SliderRow*>())
        if (row->toolTip().endsWith("(" + key + ")")) return row;
    ADD_FAILURE() << "no slider for " << key.toStdString();
    return nullptr;
}

// The equaliser panel whose switch reads this label.
ui::EqualiserPanel* panelOf(QWidget* page, const QString& label)
{
    for (ui::EqualiserPanel* panel : page->findChildren<ui::EqualiserPanel*>())
        if (panel->switchBox()->text() == label) return panel;
    ADD_FAILURE() << "no equaliser " << label.toStdString();
    return nullptr;
}

void rightClick(QWidget* w)
{
    const QPointF at(4, 4);
    QMouseEvent press(QEvent::MouseButtonPress, at, w->mapToGlobal(at), Qt::RightButton, Qt::RightButton,
                      Qt::NoModifier);
    QApplication::sendEvent(w, &press);
}

void mouse(QWidget* w, QEvent::Type type, QPointF at, Qt::MouseButton button = Qt::LeftButton)
{
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(Qt::LeftButton);
    QMouseEvent event(type, at, w->mapToGlobal(at), button, held, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}

void trigger(ui::GraphicEqEditor* editor, const QString& text)
{
    for (QAction* a : editor->menu()->actions())
        if (a->text() == text) return a->trigger();
    ADD_FAILURE() << "no menu entry " << text.toStdString();
}

using Points = std::vector<ui::GraphicEqEditor::Point>;

} // namespace

// Each type shows its own controls: the tone sliders for HI-FI to Amp-US,
// the five bands for "5Band", the curve for "Graphic"; a preset's type too.
TEST(TonePages, TheEqualiserTypeShowsItsControls)
{
    Window w;
    QWidget* page = w.window->effectPage(kIoControl);
    ui::EqualiserPanel* input = panelOf(page, "Input");
    ASSERT_TRUE(input);
    EXPECT_EQ(input->typeList()->itemText(3), "5Band");
    EXPECT_TRUE(input->toneRows()[0]->isVisibleTo(page));
    EXPECT_FALSE(input->bandRows()[0]->isVisibleTo(page));

    input->typeList()->setCurrentIndex(3);
    EXPECT_EQ(w.engine->params.io.ictrl.eqtype.get(), 3);
    EXPECT_TRUE(input->bandRows()[4]->isVisibleTo(page));
    EXPECT_FALSE(input->toneRows()[0]->isVisibleTo(page));
    EXPECT_FALSE(input->editor()->isVisibleTo(page));

    ASSERT_TRUE(w.engine->setParameter("octrl_eqtype", "4"));
    w.window->showEffectPage(kIoControl);
    ui::EqualiserPanel* output = panelOf(page, "Output");
    EXPECT_EQ(output->typeList()->currentText(), "Graphic");
    EXPECT_TRUE(output->editor()->isVisibleTo(page));
    EXPECT_FALSE(output->toneRows()[2]->isVisibleTo(page));
}

// Tone position 45 is -2 dB; the gate's ratio is a tenth of its position and
// resets to 2; a preset's threshold shows on its slider.
TEST(TonePages, TheIoSlidersMapAsLabelled)
{
    Window w;
    QWidget* page = w.window->effectPage(kIoControl);
    ui::SliderRow* bass = panelOf(page, "Input")->toneRows()[0];
    bass->slider()->setValue(45);
    EXPECT_FLOAT_EQ(w.engine->params.io.ictrl.bass.get(), 0.45f);
    EXPECT_EQ(bass->valueLabel()->text(), "-2dB");

    ui::SliderRow* ratio = rowOf(page, "nf_ratio");
    ratio->slider()->setValue(35);
    EXPECT_FLOAT_EQ(w.engine->params.io.nf_ratio.get(), 3.5f);
    EXPECT_EQ(ratio->valueLabel()->text(), "3.5");
    rightClick(ratio->slider());
    EXPECT_FLOAT_EQ(w.engine->params.io.nf_ratio.get(), 2.0f);
    EXPECT_EQ(ratio->valueLabel()->text(), "2");

    ASSERT_TRUE(w.engine->setParameter("nf_tresh", "-73"));
    w.window->showEffectPage(kIoControl);
    ui::SliderRow* threshold = rowOf(page, "nf_tresh");
    EXPECT_EQ(threshold->slider()->value(), -73);
    EXPECT_EQ(threshold->valueLabel()->text(), "-73dB");
}

// "Max len" is in samples and resets to 4000; the amp gain of a preset shows;
// the cabinet list ends with the file entry, and its "No cabinet" entry
// stops the convolution.
TEST(TonePages, TheAmpPageMaxLengthGainAndCabinet)
{
    Window w;
    QWidget* page = w.window->effectPage(kAmp);
    auto& amp = w.engine->effects().ampUnit;
    QComboBox* cabinets = nullptr;
    for (QComboBox* box : page->findChildren<QComboBox*>())
        if (box->toolTip().contains("ir_num")) cabinets = box;
    ASSERT_TRUE(cabinets);
    EXPECT_EQ(cabinets->count(), amp.irCount() + 1);
    EXPECT_TRUE(cabinets->itemText(amp.irCount()).startsWith("file:"));
    emit cabinets->activated(40);
    EXPECT_EQ(w.engine->params.amp.ir_num.get(), 40);
    EXPECT_FALSE(amp.cabinetRuns());

    ui::SliderRow* length = rowOf(page, "MaxPulseCnt");
    length->slider()->setValue(9500);
    EXPECT_EQ(w.engine->settings.MaxPulseCnt.get(), 9500);
    EXPECT_EQ(length->valueLabel()->text(), "9500");
    rightClick(length->slider());
    EXPECT_EQ(w.engine->settings.MaxPulseCnt.get(), 4000);

    ASSERT_TRUE(w.engine->setParameter("spk_gain", "-7"));
    w.window->showEffectPage(kAmp);
    ui::SliderRow* gain = rowOf(page, "spk_gain");
    EXPECT_EQ(gain->slider()->value(), -7);
    EXPECT_EQ(gain->valueLabel()->text(), "-7dB");
}

// The attack time's slider is in milliseconds and the parameter in seconds.
TEST(TonePages, TheCompressorAttackIsInMilliseconds)
{
    Window w;
    QWidget* page = w.window->effectPage(kCompressor);
    ui::SliderRow* attack = rowOf(page, "compr_oattime");
    attack->slider()->setValue(120);
    EXPECT_FLOAT_EQ(w.engine->params.compr.compr_oattime.get(), 0.12f);
    EXPECT_EQ(attack->valueLabel()->text(), "120 ms");
    rightClick(attack->slider());
    EXPECT_FLOAT_EQ(w.engine->params.compr.compr_oattime.get(), 0.0f);

    ASSERT_TRUE(w.engine->setParameter("compr_treshi", "-22"));
    w.window->showEffectPage(kCompressor);
    ui::SliderRow* threshold = rowOf(page, "compr_treshi");
    EXPECT_EQ(threshold->slider()->value(), -22);
    EXPECT_EQ(threshold->valueLabel()->text(), "-22 dB");
}

// The input curve copied and pasted into the output: the same points, and
// the output's filter designed from them; select all and reset: the two
// points of a new curve.
TEST(TonePages, TheGraphicCurveCopiesPastesAndResets)
{
    Window w;
    auto& in = w.engine->params.io.ictrl;
    in.pointCount = 3;
    in.pointX[0] = 80.0f, in.pointY[0] = 4.5f;
    in.pointX[1] = 1234.5f, in.pointY[1] = -7.25f;
    in.pointX[2] = 12000.0f, in.pointY[2] = 2.0f;
    w.window->showEffectPage(kIoControl);
    QWidget* page = w.window->effectPage(kIoControl);
    ui::GraphicEqEditor* input = panelOf(page, "Input")->editor();
    ui::GraphicEqEditor* output = panelOf(page, "Output")->editor();

    QStringList entries;
    for (QAction* a : output->menu()->actions()) entries << a->text();
    EXPECT_EQ(entries, QStringList({"Select &all", "&Reset", "Copy setting\t(Ctrl+C)", "Paste setting\t(Ctrl+V)"}));

    trigger(input, "Copy setting\t(Ctrl+C)");
    trigger(output, "Paste setting\t(Ctrl+V)");
    EXPECT_EQ(output->points(), input->points());
    EXPECT_EQ(w.engine->params.io.octrl.pointCount.get(), 3);
    EXPECT_EQ(w.engine->params.io.octrl.pointX[1].get(), 1234.5f);
    EXPECT_EQ(w.engine->params.io.octrl.pointY[1].get(), -7.25f);
    w.engine->worker().waitIdle();
    EXPECT_EQ(w.engine->effects().toneUnit.outputEqualiser().graphicFir().taps(), 1024);

    trigger(output, "Select &all");
    EXPECT_EQ(output->selectedCount(), 3);
    trigger(output, "&Reset");
    EXPECT_EQ(output->points(), Points({{100.0, 0.0}, {20000.0, 0.0}}));
    EXPECT_EQ(w.engine->params.io.octrl.pointCount.get(), 2);
    EXPECT_EQ(w.engine->params.io.octrl.pointX[1].get(), 20000.0f);
}

// A double-click adds a point, dragging it up raises its gain at the same
// frequency, Delete removes it; the amp's curve is designed on the worker.
TEST(TonePages, TheGraphicEditorAddsMovesAndRemovesPoints)
{
    Window w;
    auto& curve = w.engine->params.amp.actrl;
    curve.eqtype = 4;
    w.window->showEffectPage(kAmp);
    ui::GraphicEqEditor* editor = panelOf(w.window->effectPage(kAmp), "Amp EQ")->editor();
    editor->resize(300, 150);

    const QPointF at(150, 75);
    mouse(editor, QEvent::MouseButtonDblClick, at);
    ASSERT_EQ(editor->points().size(), 3u);
    ASSERT_TRUE(editor->selected(1));
    const ui::GraphicEqEditor::Point added = editor->points()[1];
    EXPECT_EQ(curve.pointCount.get(), 3);

    mouse(editor, QEvent::MouseButtonPress, at);
    mouse(editor, QEvent::MouseMove, at - QPointF(0, 20));
    mouse(editor, QEvent::MouseButtonRelease, at - QPointF(0, 20));
    EXPECT_GT(editor->points()[1].db, added.db);
    EXPECT_EQ(editor->points()[1].hz, added.hz);
    EXPECT_EQ(curve.pointY[1].get(), static_cast<float>(editor->points()[1].db));
    w.engine->worker().waitIdle();
    EXPECT_EQ(w.engine->effects().ampUnit.equaliser().graphicFir().taps(), 1024);

    QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
    QApplication::sendEvent(editor, &del);
    EXPECT_EQ(editor->points(), Points({{100.0, 0.0}, {20000.0, 0.0}}));
    EXPECT_EQ(curve.pointCount.get(), 2);
}
