#include "trace_window/frm_falquor_dialog.h"
#include "platform/dialogs.h"
#include "platform/twips.h"
#include "support/focus.h"
#include "support/loopback.h"

#include <QFontInfo>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

QRect Twips(const QWidget* w, int left, int top, int width, int height) {
    const int dx = w->logicalDpiX();
    const int dy = w->logicalDpiY();
    return QRect(platform::TwipsToPixels(left, dx), platform::TwipsToPixels(top, dy),
                 platform::TwipsToPixels(width, dx), platform::TwipsToPixels(height, dy));
}

}  // namespace

TEST(TraceWindow, ControlsAsDesigned) {
    Trace trace;
    frmFalquorDialog dialog(trace);
    EXPECT_EQ(dialog.windowTitle(), "Falquor Dialog");
    EXPECT_EQ(dialog.size(), Twips(&dialog, 0, 0, 5535, 4245).size());
    EXPECT_EQ(dialog.txtDialog->geometry(), Twips(&dialog, 120, 120, 5175, 3615));
    EXPECT_EQ(dialog.btnClear->text(), "&Clear");
    EXPECT_EQ(dialog.btnClear->geometry(), Twips(&dialog, 120, 3840, 1695, 375));
    EXPECT_EQ(dialog.Save->text(), "&Save");
    EXPECT_EQ(dialog.Save->geometry(), Twips(&dialog, 1920, 3840, 1695, 375));
    EXPECT_EQ(dialog.txtDialog->font().family(), "Courier New");
    EXPECT_DOUBLE_EQ(dialog.txtDialog->font().pointSizeF(), 8.25);
    EXPECT_FALSE(dialog.txtDialog->font().bold());
    EXPECT_EQ(dialog.txtDialog->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(dialog.txtDialog->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(dialog.txtDialog->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    const auto controls = {static_cast<QWidget*>(dialog.txtDialog),
                           static_cast<QWidget*>(dialog.btnClear),
                           static_cast<QWidget*>(dialog.Save)};
    EXPECT_EQ(NextControl(dialog.txtDialog, controls), dialog.btnClear);
    EXPECT_EQ(NextControl(dialog.btnClear, controls), dialog.Save);
    for (QPushButton* button : {dialog.btnClear, dialog.Save}) {
        EXPECT_LE(button->fontMetrics().horizontalAdvance(button->text().remove('&')),
                  button->width());
    }
}

TEST(TraceWindow, ResizeArithmetic) {
    const QRect design(120, 120, 5175, 3615);
    // Larger than both thresholds: the box follows the window, buttons stay.
    EXPECT_EQ(frmFalquorDialog::ResizedTraceBox(design, QSize(6000, 5000)),
              QRect(100, 100, 5700, 4000));
    // Over 4740 high, the box reaches below the top edge of the buttons.
    EXPECT_GT(100 + frmFalquorDialog::ResizedTraceBox(design, QSize(6000, 4800)).height(), 3840);
    // At or under the thresholds, that size is left as it was; the place is still set.
    EXPECT_EQ(frmFalquorDialog::ResizedTraceBox(design, QSize(600, 1000)),
              QRect(100, 100, 5175, 3615));
    EXPECT_EQ(frmFalquorDialog::ResizedTraceBox(design, QSize(601, 1001)), QRect(100, 100, 301, 1));
}

TEST(TraceWindow, ResizingTheWindowResizesTheTraceBox) {
    Trace trace;
    frmFalquorDialog dialog(trace);
    dialog.show();
    dialog.resize(Twips(&dialog, 0, 0, 9000, 7000).size());
    PumpFor(20ms);
    const QSize outer = dialog.frameGeometry().size();
    const int dpi = dialog.logicalDpiX();
    EXPECT_EQ(dialog.txtDialog->pos(), Twips(&dialog, 100, 100, 0, 0).topLeft());
    EXPECT_NEAR(dialog.txtDialog->height(),
                platform::TwipsToPixels(platform::PixelsToTwips(outer.height(), dpi) - 1000, dpi),
                1);
    EXPECT_NEAR(dialog.txtDialog->width(),
                platform::TwipsToPixels(platform::PixelsToTwips(outer.width(), dpi) - 300, dpi), 1);
    EXPECT_EQ(dialog.btnClear->geometry(), Twips(&dialog, 120, 3840, 1695, 375));
}

TEST(TraceWindow, SaveWritesTheTraceBytesPlusCrLfAndReplacesTheFile) {
    TempDir dir;
    const std::string path = dir.path() + "/trace.txt";
    std::ofstream(path) << "old content that must go away, longer than the new one";
    Trace trace;
    frmFalquorDialog dialog(trace);
    const std::string entry = std::string("[5-->] >+OK \xe9t\xe9<\r\n");
    trace.AppendEntry("[5-->]", "+OK \xe9t\xe9");
    QString asked;
    platform::SetInputBoxAnswerForTesting([&](const QString& prompt) {
        asked = prompt;
        return std::optional<QString>(QString::fromStdString(path));
    });
    dialog.Save_Click();
    EXPECT_EQ(asked, "Please enter file: ");
    EXPECT_EQ(ReadFile(path), entry + "\r\n");

    dialog.btnClear_Click();
    dialog.Save_Click();
    EXPECT_EQ(ReadFile(path), "\r\n");

    // A new file is the user's alone; a link put at the name is not written through.
    const std::string fresh = dir.path() + "/fresh.txt";
    const std::string victim = dir.path() + "/victim";
    std::ofstream(victim) << "keep";
    ASSERT_EQ(::symlink(victim.c_str(), (dir.path() + "/link.txt").c_str()), 0);
    std::vector<QString> boxes;
    platform::SetMessageBoxObserverForTesting([&](const QString& text) { boxes.push_back(text); });
    for (const std::string& name : {fresh, dir.path() + "/link.txt"}) {
        platform::SetInputBoxAnswerForTesting([name](const QString&) {
            return std::optional<QString>(QString::fromStdString(name));
        });
        dialog.Save_Click();
    }
    struct stat status {};
    ASSERT_EQ(::stat(fresh.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_EQ(ReadFile(victim), "keep");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].contains("symbolic link")) << boxes[0].toStdString();
    platform::SetMessageBoxObserverForTesting(nullptr);
    platform::SetInputBoxAnswerForTesting(nullptr);
}

TEST(TraceWindow, SaveCancelledEmptyOrUnwritableNeverEndsTheProgram) {
    Trace trace;
    frmFalquorDialog dialog(trace);
    trace.AppendEntry("[5-->]", "x");
    std::vector<QString> boxes;
    platform::SetMessageBoxObserverForTesting([&](const QString& text) { boxes.push_back(text); });
    platform::SetInputBoxAnswerForTesting([](const QString&) { return std::optional<QString>(); });
    dialog.Save_Click();
    platform::SetInputBoxAnswerForTesting(
        [](const QString&) { return std::optional<QString>(""); });
    dialog.Save_Click();
    EXPECT_TRUE(boxes.empty());
    platform::SetInputBoxAnswerForTesting(
        [](const QString&) { return std::optional<QString>("/nonexistent-folder/trace.txt"); });
    dialog.Save_Click();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].contains("/nonexistent-folder/trace.txt")) << boxes[0].toStdString();
    platform::SetInputBoxAnswerForTesting(nullptr);
    platform::SetMessageBoxObserverForTesting(nullptr);
}

TEST(TraceWindow, NewEntriesAreAppendedAndTheViewHoldsTheRingAtRest) {
    Trace trace;
    frmFalquorDialog dialog(trace);
    dialog.show();
    trace.AppendEntry("[5-->]", "first");
    dialog.RepaintTrace();
    auto shown = [&] {
        QByteArray ring = QByteArray::fromStdString(trace.Contents());
        return QString::fromLocal8Bit(ring.replace("\r\n", "\n"));
    };
    EXPECT_EQ(dialog.txtDialog->toPlainText(), shown());
    // A mark on the first line survives an append: the text shown is not laid out anew.
    dialog.txtDialog->document()->firstBlock().setUserState(42);
    trace.AppendEntry("[5-->]", "second");
    dialog.RepaintTrace();
    EXPECT_EQ(dialog.txtDialog->document()->firstBlock().userState(), 42);
    EXPECT_EQ(dialog.txtDialog->toPlainText(), shown());
    // Past the ring's capacity the view holds older lines for a while; at rest, just the ring.
    for (int i = 0; i < 1000; ++i) {
        trace.AppendEntry("[5-->]", "entry " + std::to_string(i));
    }
    dialog.RepaintTrace();
    EXPECT_TRUE(dialog.txtDialog->toPlainText().endsWith(shown()));
    ASSERT_TRUE(PumpUntil([&] { return dialog.txtDialog->toPlainText() == shown(); }, 5s));
    // A cleared trace clears the view at once.
    dialog.btnClear_Click();
    EXPECT_EQ(dialog.txtDialog->toPlainText(), "");
}

TEST(TraceWindow, ShowsTheTraceSoonAndFollowsTheNewestEntry) {
    Trace trace;
    frmFalquorDialog dialog(trace);
    // Entries written while the window is hidden are there when it is shown.
    trace.AppendEntry("[7-->]", "before");
    dialog.show();
    for (int i = 0; i < 400; ++i) {
        trace.AppendEntry("[7-->]", "line " + std::to_string(i));
    }
    ASSERT_TRUE(
        PumpUntil([&] { return dialog.txtDialog->toPlainText().contains("line 399"); }, 5s));
    EXPECT_TRUE(dialog.txtDialog->toPlainText().contains("before"));
    EXPECT_FALSE(dialog.txtDialog->toPlainText().contains('\r'));
    const auto* bar = dialog.txtDialog->verticalScrollBar();
    EXPECT_EQ(bar->value(), bar->maximum());
    // Scrolled up by the reader: later entries do not pull the view down.
    dialog.txtDialog->verticalScrollBar()->setValue(0);
    trace.AppendEntry("[7-->]", "newer");
    ASSERT_TRUE(PumpUntil([&] { return dialog.txtDialog->toPlainText().contains("newer"); }, 5s));
    EXPECT_EQ(dialog.txtDialog->verticalScrollBar()->value(), 0);
}
