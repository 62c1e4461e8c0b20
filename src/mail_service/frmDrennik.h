#pragma once
// The main window: it is the server. It starts and stops the service, accepts connections,
// keeps one record per connection, hands each connection's requests to its conversation, and
// shows one connection's record at a time, chosen with the selector.

#include "mail_service/connection_slot.h"
#include "mail_service/maildrop.h"

#include <QTimer>
#include <QWidget>

#include <deque>
#include <memory>
#include <unordered_map>

class QComboBox;
class QLabel;
class QLineEdit;
class QListView;
class ConnectionNumberModel;
class SlotListModel;
class modFalquor;

class frmDrennik : public QWidget {
    Q_OBJECT
public:
    static constexpr int kServicePort = 110;
    static constexpr unsigned kAcceptMessage = 520;  // the middle-button-up message
    static constexpr unsigned kReadMessage = 521;    // the middle-button-double-click message
    // Closed connections whose lists are kept for the operator to look at.
    static constexpr std::size_t kClosedKeepingLists = 100;

    frmDrennik(modFalquor& falquor, MaildropStore store, int port = kServicePort,
               QWidget* parent = nullptr);
    ~frmDrennik() override;

    void Form_Load();
    void Form_Unload();
    // The accept handler, raised for each connection reported on the listening socket.
    void txtRequest_MouseUp();
    // The read handler of connection `index`: its requests are answered.
    void txtRequest_DblClick(int index);
    void ShowConnection(int& number);
    void cboConnection_Click();

    int ListeningPort() const;
    int listeningSocket() const { return listeningSocket_; }
    int currentClientSocket() const { return currentClientSocket_; }
    int shownConnection() const { return shown_; }
    int SlotCount() const { return static_cast<int>(slots_.size()); }
    const ConnectionSlot& Slot(int index) const {
        return slots_.at(static_cast<std::size_t>(index));
    }

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
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    struct Connection;

    void BuildControls();
    void ShowFields(int number);
    void RefreshView();
    void Resume(int index);
    void ResumeLater(int index);
    void OnClosed(int index, int socket);
    void PauseAccepting();
    // Lets the controls change freely for a moment and paints them once afterwards.
    void HoldRepaints();

    modFalquor& falquor_;
    MaildropStore store_;
    int port_;
    int listeningSocket_ = 0;
    int currentClientSocket_ = 0;
    int shown_ = 0;
    bool unloaded_ = false;

    std::deque<ConnectionSlot> slots_;  // references stay valid as slots are added
    std::unordered_map<int, int> slotBySocket_;
    std::unordered_map<int, std::unique_ptr<Connection>> connections_;  // open ones, by slot
    std::deque<int> closedKeepingLists_;
    QTimer repaintTimer_;

    ConnectionNumberModel* numbers_;
    SlotListModel* marksModel_;
    SlotListModel* sizesModel_;
    SlotListModel* namesModel_;
};
