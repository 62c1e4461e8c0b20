#include "trace_window/frm_falquor_dialog.h"

#include "platform/dialogs.h"
#include "platform/fonts.h"
#include "platform/private_file.h"
#include "platform/twips.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>

namespace {
// Rebuilding the shown text costs in proportion to the whole trace, so it is done at most
// this often, and never more than once per event-loop pass.
constexpr int kRepaintDelayMs = 80;
// After this long without a new entry the view is laid out anew to hold just the ring.
constexpr int kRestMs = 500;
const QRect kTraceBoxDesign(120, 120, 5175, 3615);
}  // namespace

frmFalquorDialog::frmFalquorDialog(Trace& trace, QWidget* parent) : QWidget(parent), trace_(trace) {
    platform::InstallFontSubstitutes();
    setWindowTitle(QStringLiteral("Falquor Dialog"));
    const int dpiX = logicalDpiX();
    const int dpiY = logicalDpiY();
    resize(platform::TwipsToPixels(5535, dpiX), platform::TwipsToPixels(4245, dpiY));

    txtDialog = new QPlainTextEdit(this);
    txtDialog->setObjectName(QStringLiteral("txtDialog"));
    QFont mono(QStringLiteral("Courier New"));
    mono.setPointSizeF(8.25);
    mono.setWeight(QFont::Normal);
    txtDialog->setFont(mono);
    txtDialog->setReadOnly(true);
    txtDialog->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtDialog->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtDialog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    platform::PlaceInTwips(txtDialog, kTraceBoxDesign.x(), kTraceBoxDesign.y(),
                           kTraceBoxDesign.width(), kTraceBoxDesign.height());

    btnClear = new QPushButton(QStringLiteral("&Clear"), this);
    btnClear->setObjectName(QStringLiteral("btnClear"));
    platform::PlaceInTwips(btnClear, 120, 3840, 1695, 375);

    Save = new QPushButton(QStringLiteral("&Save"), this);
    Save->setObjectName(QStringLiteral("Save"));
    platform::PlaceInTwips(Save, 1920, 3840, 1695, 375);

    setTabOrder(txtDialog, btnClear);
    setTabOrder(btnClear, Save);

    connect(btnClear, &QPushButton::clicked, this, &frmFalquorDialog::btnClear_Click);
    connect(Save, &QPushButton::clicked, this, &frmFalquorDialog::Save_Click);

    repaintTimer_.setSingleShot(true);
    repaintTimer_.setInterval(kRepaintDelayMs);
    connect(&repaintTimer_, &QTimer::timeout, this, &frmFalquorDialog::RepaintTrace);
    restTimer_.setSingleShot(true);
    restTimer_.setInterval(kRestMs);
    connect(&restTimer_, &QTimer::timeout, this, [this] {
        if (isVisible() && appendedSinceWhole_ > 0) {
            ShowWholeTrace();
        }
    });
    connect(&trace_, &Trace::Changed, this, &frmFalquorDialog::TraceChanged);
}

void frmFalquorDialog::TraceChanged() {
    if (!repaintTimer_.isActive()) {
        repaintTimer_.start();
    }
}

void frmFalquorDialog::RepaintTrace() {
    repaintTimer_.stop();
    // A hidden window is not told of changes; it catches up when shown again.
    if (!isVisible()) {
        return;
    }
    trace_.Seen();
    if (trace_.revision() == shownRevision_) {
        return;
    }
    shownRevision_ = trace_.revision();
    const TraceRing& ring = trace_.ring();
    std::string added;
    // Under steady traffic the view is laid out anew now and then, so it never holds more than
    // a few rings' worth.
    if (ring.generation() != shownGeneration_ || !ring.Since(shownEnd_, added) ||
        appendedSinceWhole_ + added.size() > 2 * ring.capacity()) {
        ShowWholeTrace();
        return;
    }
    // Only what is new is laid out: the text already shown stays as it is.
    shownEnd_ = ring.end();
    appendedSinceWhole_ += added.size();
    QByteArray bytes = QByteArray::fromStdString(added);
    bytes.replace("\r\n", "\n");
    QScrollBar* vertical = txtDialog->verticalScrollBar();
    QScrollBar* horizontal = txtDialog->horizontalScrollBar();
    const bool following = vertical->value() >= vertical->maximum();
    const int oldTop = vertical->value();
    const int oldLeft = horizontal->value();
    QTextCursor end(txtDialog->document());
    end.movePosition(QTextCursor::End);
    end.insertText(QString::fromLocal8Bit(bytes));
    vertical->setValue(following ? vertical->maximum() : oldTop);
    horizontal->setValue(oldLeft);
    // The view now holds older lines than the ring: once traffic rests, it shows the ring again.
    restTimer_.start();
}

void frmFalquorDialog::ShowWholeTrace() {
    restTimer_.stop();
    const TraceRing& ring = trace_.ring();
    shownRevision_ = ring.revision();
    shownGeneration_ = ring.generation();
    shownEnd_ = ring.end();
    appendedSinceWhole_ = 0;
    QScrollBar* vertical = txtDialog->verticalScrollBar();
    QScrollBar* horizontal = txtDialog->horizontalScrollBar();
    // Follow the newest entry unless the reader has scrolled up to look at older ones.
    const bool following = vertical->value() >= vertical->maximum();
    const int oldTop = vertical->value();
    const int oldLeft = horizontal->value();
    QByteArray shown = QByteArray::fromStdString(trace_.Contents());
    shown.replace("\r\n", "\n");
    txtDialog->setPlainText(QString::fromLocal8Bit(shown));
    vertical->setValue(following ? vertical->maximum() : oldTop);
    horizontal->setValue(oldLeft);
}

QRect frmFalquorDialog::ResizedTraceBox(QRect box, QSize outer) {
    box.moveTo(100, 100);
    if (outer.height() > 1000) {
        box.setHeight(outer.height() - 1000);
    }
    if (outer.width() > 600) {
        box.setWidth(outer.width() - 300);
    }
    return box;
}

void frmFalquorDialog::Form_Resize() {
    const int dpiX = logicalDpiX();
    const int dpiY = logicalDpiY();
    const QRect px = txtDialog->geometry();
    const QRect current(
        platform::PixelsToTwips(px.x(), dpiX), platform::PixelsToTwips(px.y(), dpiY),
        platform::PixelsToTwips(px.width(), dpiX), platform::PixelsToTwips(px.height(), dpiY));
    // The outer size, frame and title bar included.
    QSize outer = frameGeometry().size();
    if (outer.width() < width() || outer.height() < height()) {
        outer = size();
    }
    const QRect box =
        ResizedTraceBox(current, QSize(platform::PixelsToTwips(outer.width(), dpiX),
                                       platform::PixelsToTwips(outer.height(), dpiY)));
    platform::PlaceInTwips(txtDialog, box.x(), box.y(), box.width(), box.height());
}

void frmFalquorDialog::btnClear_Click() {
    trace_.Clear();
    RepaintTrace();
}

void frmFalquorDialog::Save_Click() {
    const std::optional<QString> name =
        platform::InputBox(QStringLiteral("Please enter file: "),
                           QString::fromLatin1(platform::kApplicationTitle), this);
    if (!name || name->isEmpty()) {
        return;
    }
    std::string bytes = trace_.Contents();
    bytes += "\r\n";
    const std::string error = platform::WritePrivateFile(name->toLocal8Bit().toStdString(), bytes);
    if (!error.empty()) {
        platform::MessageBox(QStringLiteral("Could not save the trace to %1: %2")
                                 .arg(*name, QString::fromLocal8Bit(error)),
                             this);
    }
}

void frmFalquorDialog::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Form_Resize();
}

void frmFalquorDialog::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    Form_Resize();
    RepaintTrace();
}
