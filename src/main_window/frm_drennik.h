#pragma once
// The main window: it watches the server core and shows one connection's record at a time,
// chosen with the selector. It follows the connection that was last active, refreshing at most
// once a frame however many requests are served meanwhile. The handlers of its original design
// are kept; the work they name is the core's.

#include "mail_service/mail_service.h"

#include <QTimer>
#include <QWidget>

class QComboBox;
class QLabel;
class QLineEdit;
class QListView;
class SlotListModel;
class frmFalquorDialog;

class frmDrennik : public QWidget {
    Q_OBJECT
public:
    // About one frame: the window is refreshed at most this often.
    static constexpr int kRefreshIntervalMs = 16;

    // Shows `service`; `traceWindow` shows the socket layer's trace. A window watching asks
    // the service to keep the records of many closed connections for its selector.
    frmDrennik(MailService& service, frmFalquorDialog& traceWindow, QWidget* parent = nullptr);
    // Stops the service if it still runs, so nothing is left that could call the window.
    ~frmDrennik() override;

    // Starts the service with the trace window shown first; a port that cannot be had ends
    // the program after a message box.
    void Form_Load();
    void Form_Unload();
    // The accept handler: takes a waiting connection on the listening socket.
    void txtRequest_MouseUp();
    // The read handler of connection `index`: its waiting requests are answered.
    void txtRequest_DblClick(int index);
    void ShowConnection(int& number);
    void cboConnection_Click();

    int shownConnection() const { return shown_; }
    // Refreshes now what a frame would: the view catches up with the core.
    void RefreshView();
    std::uint64_t Refreshes() const { return refreshes_; }

    QLabel* lblConnection;
    QComboBox* cboConnection;
    QLineEdit* txtRequest;
    QLabel* lblSocket;
    QLineEdit* txtSocket;
    QLabel* lblState;
    QLineEdit* txtState;
    QLabel* lblUser;
    QLineEdit* txtUser;
    QLabel* lblTotalCount;
    QLineEdit* txtTotalCount;
    QLabel* lblTotalSize;
    QLineEdit* txtTotalSize;
    QListView* lstDeletionList;
    QListView* lstSizeList;
    QListView* lstFileList;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    void ShowFields(int number);
    // Something changed: one refresh in the coming frame, following `follow` if not -1.
    void ScheduleRefresh(int follow = -1);
    void LetGoOf(int number, bool forgetting);

    MailService& service_;
    frmFalquorDialog& traceWindow_;
    int shown_ = 0;
    int follow_ = -1;  // the last active connection, to be shown at the next refresh
    std::uint64_t refreshes_ = 0;
    QTimer refreshTimer_;

    SlotListModel* marksModel_;
    SlotListModel* sizesModel_;
    SlotListModel* namesModel_;
};
