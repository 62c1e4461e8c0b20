#pragma once
// The trace window: shows the socket trace it is given, clears it and saves it to a file.

#include "socket_layer/trace.h"

#include <QRect>
#include <QSize>
#include <QTimer>
#include <QWidget>

class QPlainTextEdit;
class QPushButton;

class frmFalquorDialog : public QWidget {
    Q_OBJECT
public:
    explicit frmFalquorDialog(Trace& trace, QWidget* parent = nullptr);

    Trace& trace() { return trace_; }
    // Shows the current trace now.
    void RepaintTrace();

    void Form_Resize();
    void btnClear_Click();
    void Save_Click();

    // Where Form_Resize puts the trace box, in twips, for a window of the given outer size.
    static QRect ResizedTraceBox(QRect box, QSize outer);

    QPlainTextEdit* txtDialog;
    QPushButton* btnClear;
    QPushButton* Save;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // The trace changed: the view catches up within a fraction of a second, at most once per
    // event-loop pass, however many entries arrive.
    void TraceChanged();

    // Lays the whole trace out anew: after a Clear, when what is shown fell out of the ring, and
    // once at rest when the view holds more than the ring.
    void ShowWholeTrace();

    Trace& trace_;
    QTimer repaintTimer_;
    QTimer restTimer_;
    std::uint64_t shownRevision_ = ~std::uint64_t{0};
    std::uint64_t shownEnd_ = 0;  // the ring position the view has caught up to
    std::uint64_t shownGeneration_ = ~std::uint64_t{0};
    std::uint64_t appendedSinceWhole_ = 0;  // bytes appended to the view since its last reset
};
