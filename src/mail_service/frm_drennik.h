#pragma once
// The main window: it is the server. It starts and stops the service, accepts connections,
// keeps one record per connection, hands each connection's requests to its conversation, and
// shows one connection's record at a time, chosen with the selector.

#include "mail_service/connection_slot.h"
#include "mail_service/maildrop.h"
#include "mail_service/slot_summary.h"

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
class frmFalquorDialog;
class Authenticator;
class modFalquor;

// How many connections are served at once; 0 means no limit.
struct ConnectionLimits {
    std::size_t total = 10000;
    std::size_t perAddress = 100;
};

class frmDrennik : public QWidget {
    Q_OBJECT
public:
    static constexpr int kServicePort = 110;
    static constexpr unsigned kAcceptMessage = 520;  // the middle-button-up message
    static constexpr unsigned kReadMessage = 521;    // the middle-button-double-click message
    // Closed connections whose full records are kept for the operator to look at; older ones
    // keep only their summary.
    static constexpr std::size_t kClosedKeepingLists = 100;
    // Closed connections kept at all, in the selector: the oldest leave it first, so a server
    // that runs for months holds a bounded number of records. Without a window nobody looks
    // at more than the last few.
    static constexpr std::size_t kClosedKeptHeadless = 100;
    static constexpr std::size_t kClosedKeptWithWindow = 1'000'000;
    // Descriptors the program keeps for itself (message files, scans, the toolkit's own):
    // accepting stops before fewer than this many remain, or a quarter of a small table.
    static constexpr int kDescriptorReserve = 64;

    // Serves `store` on `port`; `traceWindow` shows the socket layer's trace.
    frmDrennik(modFalquor& falquor, frmFalquorDialog& traceWindow, MaildropStore store,
               int port = kServicePort, QWidget* parent = nullptr);
    // Stops the service if it still runs, so nothing is left that could call the window.
    ~frmDrennik() override;

    void SetLimits(ConnectionLimits limits) { limits_ = limits; }
    // Listens on this IPv4 address (network order) only; 0, the default, is every address.
    // Set before Form_Load.
    void SetListenAddress(std::uint32_t address) { listenAddress_ = address; }
    // Passwords and the TLS rule for every connection accepted from now on. Where passwords
    // are real, they are masked in the trace from now on too.
    void SetAuthenticator(Authenticator* auth);
    // Also listens on `port` for connections that are encrypted from their first byte; -1:
    // no such listener. Set before Form_Load.
    void SetTlsPort(int port) { tlsPort_ = port; }
    // Listening sockets opened before the window (modFalquor::OpenListener; kInvalidSocket for
    // one that could not be opened), taken on by Form_Load instead of opening its own.
    void UseListeningSockets(int plain, int tls);

    void Form_Load();
    void Form_Unload();
    // The accept handler, raised for each connection reported on the listening socket.
    void txtRequest_MouseUp();
    // The read handler of connection `index`, raised when the socket layer has something for
    // it: its requests are answered, and a request served brings its connection to view.
    void txtRequest_DblClick(int index);
    void ShowConnection(int& number);
    void cboConnection_Click();

    int ListeningPort() const;
    int TlsListeningPort() const;
    int listeningSocket() const { return listeningSocket_; }
    int currentClientSocket() const { return currentClientSocket_; }
    int shownConnection() const { return shown_; }
    // Records kept, slot 0 included: the selector's entries.
    int SlotCount() const { return static_cast<int>(records_.size()); }
    bool IsOpen(int number) const { return connections_.count(number) != 0; }
    bool IsKept(int number) const { return RowOf(number) >= 0; }
    // The full record of connection `number`, or null once only its summary is kept, or none.
    const ConnectionSlot* Slot(int number) const;
    // How many closed connections keep their record (the default depends on having a window).
    void SetClosedRecordsKept(std::size_t count);

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
    struct Record {
        int number = 0;
        bool open = false;
        std::unique_ptr<ConnectionSlot> full;  // while open, and for a while after
        SlotSummary summary;                   // what is kept after that
    };

    void BuildControls();
    void Listen(int socket, int port);
    void Accept(int listener, bool encrypted);
    void ShowFields(int number);
    void RefreshView();
    void ResumeLater(int index);
    void OnClosed(int index);
    // The selector row of connection `number`, or -1 when its record is not kept.
    int RowOf(int number) const;
    Record* Find(int number);
    // Lets the oldest closed records go until no more than the limit are kept.
    void ForgetOldRecords();
    void PauseAccepting();
    void ResumeAccepting();
    // Stops (0) or restarts (FD_ACCEPT) the reports of every listening socket.
    void AskForAccepts(long events);
    bool OverLimit(std::uint32_t peer) const;
    // Lets the controls change freely for a moment and paints them once afterwards.
    void HoldRepaints();

    modFalquor& falquor_;
    frmFalquorDialog& traceWindow_;
    MaildropStore store_;
    int port_;
    int tlsPort_ = -1;
    int listeningSocket_ = 0;
    int tlsListeningSocket_ = -1;
    int currentClientSocket_ = 0;
    int shown_ = 0;
    bool loaded_ = false;
    bool listenersGiven_ = false;
    bool acceptPaused_ = false;
    int descriptorLimit_ = -1;
    ConnectionLimits limits_;
    std::uint32_t listenAddress_ = 0;
    Authenticator* auth_ = nullptr;

    // The kept records in connection number order, slot 0 first.
    std::deque<Record> records_;
    int nextNumber_ = 1;
    std::size_t closedKept_;
    std::size_t closedRecords_ = 0;  // how many of records_ are closed
    // The conversations of the open connections, by connection number. The socket layer
    // knows their sockets; the window never looks a connection up by its socket.
    std::unordered_map<int, std::unique_ptr<Connection>> connections_;
    std::deque<int> closedKeepingLists_;
    QTimer repaintTimer_;

    ConnectionNumberModel* numbers_;
    SlotListModel* marksModel_;
    SlotListModel* sizesModel_;
    SlotListModel* namesModel_;
};
