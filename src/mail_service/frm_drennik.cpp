#include "mail_service/frm_drennik.h"

#include "mail_service/authenticator.h"
#include "mail_service/conversation.h"
#include "mail_service/pop3_interpreter.h"
#include "mail_service/slot_models.h"
#include "mail_service/socket_channel.h"
#include "platform/descriptor_limit.h"
#include "platform/dialogs.h"
#include "platform/fonts.h"
#include "platform/twips.h"
#include "platform/winsock.h"
#include "socket_layer/mod_falquor.h"
#include "trace_window/frm_falquor_dialog.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QTimer>

#include <cstring>

namespace {

// How long accepting rests when the process has no descriptor left for a new connection.
constexpr int kAcceptPauseMs = 100;
// Under traffic the window is repainted at most this often; painting per request would cost
// more than serving it.
constexpr int kRepaintIntervalMs = 40;
constexpr int kListLayoutBatch = 1000;

std::string NumberText(std::int64_t value) {
    std::string text;
    AppendShownNumber(text, value);
    return text;
}

void SetShown(QLineEdit* box, std::string_view bytes) {
    const QString text = QString::fromLocal8Bit(bytes.data(), static_cast<qsizetype>(bytes.size()));
    if (box->text() != text) {
        box->setText(text);
    }
}

}  // namespace

struct frmDrennik::Connection {
    Connection(modFalquor& falquor, int socket, ConnectionSlot& slot, const MaildropStore& store,
               std::function<void()> resumeLater, Authenticator* auth)
        : channel(falquor, socket),
          conversation(slot, channel, store, std::move(resumeLater), auth) {}

    SocketChannel channel;
    Conversation conversation;
};

frmDrennik::frmDrennik(modFalquor& falquor, frmFalquorDialog& traceWindow, MaildropStore store,
                       int port, QWidget* parent)
    : QWidget(parent),
      falquor_(falquor),
      traceWindow_(traceWindow),
      store_(std::move(store)),
      port_(port),
      closedKept_(platform::IsHeadless() ? kClosedKeptHeadless : kClosedKeptWithWindow) {
    platform::InstallFontSubstitutes();
    // Slot 0: the fields the window has from its design.
    records_.push_back(Record{0, true, std::make_unique<ConnectionSlot>(), {}});
    BuildControls();
    repaintTimer_.setSingleShot(true);
    repaintTimer_.setInterval(kRepaintIntervalMs);
    connect(&repaintTimer_, &QTimer::timeout, this, [this] { setUpdatesEnabled(true); });
}

frmDrennik::~frmDrennik() {
    Form_Unload();
}

void frmDrennik::BuildControls() {
    setWindowTitle(QStringLiteral("Drennik"));
    setFixedSize(platform::TwipsToPixels(7470, logicalDpiX()),
                 platform::TwipsToPixels(5025, logicalDpiY()));
    QPalette background = palette();
    background.setColor(QPalette::Window, QColor(192, 192, 192));
    setPalette(background);
    setAutoFillBackground(true);
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPointSizeF(8.25);
    font.setBold(true);
    setFont(font);

    const QPalette system = QPalette();
    auto label = [&](const char* name, const char* caption, int left, int top, int width,
                     int height) {
        auto* l = new QLabel(QString::fromLatin1(caption), this);
        l->setObjectName(QString::fromLatin1(name));
        l->setAutoFillBackground(true);
        QPalette p = l->palette();
        p.setColor(QPalette::Window, system.color(QPalette::Base));
        p.setColor(QPalette::WindowText, system.color(QPalette::Text));
        l->setPalette(p);
        platform::PlaceInTwips(l, left, top, width, height);
        return l;
    };
    auto field = [&](const char* name, int left, int top, int width, int height) {
        auto* box = new QLineEdit(this);
        box->setObjectName(QString::fromLatin1(name));
        box->setReadOnly(true);  // it shows the connection; it is not input
        platform::PlaceInTwips(box, left, top, width, height);
        return box;
    };
    auto list = [&](const char* name, SlotListModel* model, int left, int top, int width,
                    int height) {
        auto* view = new QListView(this);
        view->setObjectName(QString::fromLatin1(name));
        view->setUniformItemSizes(true);
        // A maildrop of many messages is laid out a batch per event-loop pass, so showing
        // it never holds up the connections.
        view->setLayoutMode(QListView::Batched);
        view->setBatchSize(kListLayoutBatch);
        view->setEditTriggers(QAbstractItemView::NoEditTriggers);
        view->setModel(model);
        platform::PlaceInTwips(view, left, top, width, height);
        return view;
    };

    numbers_ = new ConnectionNumberModel(
        [this](int row) { return records_[static_cast<std::size_t>(row)].number; }, this);
    marksModel_ = new SlotListModel(SlotListModel::Column::DeletionMarks, this);
    sizesModel_ = new SlotListModel(SlotListModel::Column::Sizes, this);
    namesModel_ = new SlotListModel(SlotListModel::Column::FileNames, this);

    lblConnection = label("lblConnection", "Connection:", 240, 360, 1215, 255);
    cboConnection = new QComboBox(this);
    cboConnection->setObjectName(QStringLiteral("cboConnection"));
    cboConnection->setModel(numbers_);
    // Every entry is one short number: the list need not measure 10,000 of them to open.
    if (auto* entries = qobject_cast<QListView*>(cboConnection->view())) {
        entries->setUniformItemSizes(true);
    }
    platform::PlaceInTwips(cboConnection, 1320, 360, 1215, 315);
    txtRequest = field("txtRequest", 2760, 360, 855, 315);
    lblSocket = label("lblSocket", "Socket:", 3720, 360, 615, 255);
    txtSocket = field("txtSocket", 4440, 360, 495, 315);
    lblState = label("lblState", "State:", 5160, 360, 495, 255);
    txtState = field("txtState", 5880, 360, 1455, 315);
    lblUser = label("lblUser", "User:", 240, 840, 495, 255);
    txtUser = field("txtUser", 960, 840, 1935, 315);
    lblTotalCount = label("lblTotalCount", "Total Count:", 3000, 840, 1095, 255);
    txtTotalCount = field("txtTotalCount", 4080, 840, 855, 315);
    lblTotalSize = label("lblTotalSize", "Total Size:", 5040, 840, 975, 255);
    txtTotalSize = field("txtTotalSize", 6000, 840, 1335, 315);
    lstDeletionList = list("lstDeletionList", marksModel_, 240, 1320, 375, 3570);
    lstSizeList = list("lstSizeList", sizesModel_, 600, 1320, 735, 3570);
    lstFileList = list("lstFileList", namesModel_, 1320, 1320, 6015, 3570);

    // The layout was drawn for a narrower face: a caption that does not fit takes the room it
    // needs, up to the next control.
    const std::pair<QLabel*, QWidget*> captioned[] = {
        {lblConnection, cboConnection}, {lblSocket, txtSocket},
        {lblState, txtState},           {lblUser, txtUser},
        {lblTotalCount, txtTotalCount}, {lblTotalSize, txtTotalSize}};
    for (const auto& [caption, next] : captioned) {
        const int needed = caption->fontMetrics().horizontalAdvance(caption->text());
        if (needed > caption->width()) {
            caption->resize(std::max(caption->width(), std::min(needed, next->x() - caption->x())),
                            caption->height());
        }
    }

    // The tab order of the design; labels take no focus.
    QWidget* const order[] = {lstFileList,     txtTotalSize, txtTotalCount, txtUser,
                              txtState,        txtSocket,    txtRequest,    cboConnection,
                              lstDeletionList, lstSizeList};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i) {
        setTabOrder(order[i], order[i + 1]);
    }

    connect(cboConnection, &QComboBox::currentIndexChanged, this,
            [this](int) { cboConnection_Click(); });
}

void frmDrennik::Form_Load() {
    traceWindow_.show();  // the trace is there from the first line on
    falquor_.StartWinSock();
    loaded_ = true;
    numbers_->Append();
    cboConnection->setCurrentIndex(-1);
    descriptorLimit_ = platform::DescriptorLimit();
    ConnectionSlot& slot0 = *records_.front().full;
    slot0 = ConnectionSlot{};
    slot0.blankFileEntry = true;
    ++slot0.listsRevision;
    RefreshView();

    if (!listenersGiven_) {
        listeningSocket_ = modFalquor::OpenListener(port_, listenAddress_);
        if (tlsPort_ >= 0) {
            tlsListeningSocket_ = modFalquor::OpenListener(tlsPort_, listenAddress_);
        }
    }
    Listen(listeningSocket_, port_);
    if (tlsPort_ >= 0) {
        Listen(tlsListeningSocket_, tlsPort_);
    }
}

void frmDrennik::SetAuthenticator(Authenticator* auth) {
    auth_ = auth;
    if (auth != nullptr && auth->ChecksPasswords()) {
        falquor_.SetReceivedTraceMask(MaskPassword);
    }
}

void frmDrennik::UseListeningSockets(int plain, int tls) {
    listeningSocket_ = plain;
    tlsListeningSocket_ = tls;
    listenersGiven_ = true;
}

void frmDrennik::Listen(int socket, int port) {
    if (socket == platform::kInvalidSocket) {
        platform::MessageBox(QStringLiteral("Could not listen on Port  %1").arg(port), this);
        platform::EndProgram(1);
    }
    if (platform::WSAAsyncSelect(socket, this, kAcceptMessage, platform::FD_ACCEPT) != 0) {
        platform::MessageBox(QStringLiteral("Unable to set Asynch mode"), this);
    }
}

void frmDrennik::Form_Unload() {
    if (!loaded_) {
        return;
    }
    loaded_ = false;
    falquor_.CloseSocket(listeningSocket_);
    if (tlsListeningSocket_ >= 0) {
        falquor_.CloseSocket(tlsListeningSocket_);
        tlsListeningSocket_ = -1;
    }
    falquor_.CloseAll();
    platform::WSACleanup();
    connections_.clear();
}

void frmDrennik::txtRequest_MouseUp() {
    Accept(listeningSocket_, false);
}

void frmDrennik::Accept(int listener, bool encrypted) {
    char address[38] = {};
    int length = 20;
    const int socket = platform::accept(listener, address, &length);
    if (socket == platform::kInvalidSocket) {
        const int error = platform::WSAGetLastError();
        if (error == platform::WSAEMFILE || error == platform::WSAENOBUFS) {
            PauseAccepting();
        }
        return;  // no connection, no record
    }
    // The system hands out the lowest free descriptor, so a number this high means fewer than
    // the reserve are left for the program's own work: stop taking connections for a while.
    if (descriptorLimit_ > 0 &&
        socket >= descriptorLimit_ - std::min(kDescriptorReserve, descriptorLimit_ / 4)) {
        platform::closesocket(socket);
        PauseAccepting();
        return;
    }
    std::uint32_t peer = 0;
    std::memcpy(&peer, address + 4, sizeof peer);  // the IPv4 address of the sockaddr_in
    if (OverLimit(peer)) {
        if (encrypted) {
            platform::closesocket(socket);  // a line in clear would mean nothing to its client
        } else {
            falquor_.Refuse(socket, TooManyConnectionsLine());
        }
        return;  // no record, no selector entry
    }
    currentClientSocket_ = socket;
    const int n = nextNumber_++;
    ConnectionSlot& slot =
        *records_.emplace_back(Record{n, true, std::make_unique<ConnectionSlot>(), {}}).full;
    numbers_->Append();
    slot.socket = socket;
    slot.state = SessionState::Authorisation;
    auto connection = std::make_unique<Connection>(
        falquor_, socket, slot, store_, [this, n] { ResumeLater(n); }, auth_);
    falquor_.Attach(
        socket,
        ConnectionHooks{this, [this, n] { txtRequest_DblClick(n); }, [this, n] { OnClosed(n); }},
        peer);
    Connection& c = *connection;
    connections_[n] = std::move(connection);

    int shown = n;
    ShowConnection(shown);
    if (encrypted) {
        falquor_.StartTls(socket);  // the greeting waits for the handshake
    }
    Greet(c.channel);
    if (!falquor_.Watch(socket)) {
        // The loop is running: a box that waited here would hold up every connection.
        platform::ShowMessage(QStringLiteral("Unable to set Asynch mode"), this);
    }
}

void frmDrennik::txtRequest_DblClick(int index) {
    const auto it = connections_.find(index);
    if (it == connections_.end()) {
        return;
    }
    if (it->second->conversation.Serve() > 0) {
        int shown = index;
        ShowConnection(shown);
    }
    RefreshView();
}

void frmDrennik::ShowConnection(int& number) {
    int row = RowOf(number);
    if (row < 0) {
        number = 0;
        row = 0;
    }
    if (number == shown_) {
        return;
    }
    ShowFields(number);
    // Selecting raises the selector's click, which comes back here once more.
    cboConnection->setCurrentIndex(row);
    shown_ = number;
}

void frmDrennik::cboConnection_Click() {
    const int row = cboConnection->currentIndex();
    int number =
        row >= 0 && row < SlotCount() ? records_[static_cast<std::size_t>(row)].number : -1;
    ShowConnection(number);
}

int frmDrennik::RowOf(int number) const {
    const auto it = std::lower_bound(records_.begin(), records_.end(), number,
                                     [](const Record& r, int n) { return r.number < n; });
    return it != records_.end() && it->number == number ? static_cast<int>(it - records_.begin())
                                                        : -1;
}

frmDrennik::Record* frmDrennik::Find(int number) {
    const int row = RowOf(number);
    return row < 0 ? nullptr : &records_[static_cast<std::size_t>(row)];
}

const ConnectionSlot* frmDrennik::Slot(int number) const {
    const int row = RowOf(number);
    return row < 0 ? nullptr : records_[static_cast<std::size_t>(row)].full.get();
}

void frmDrennik::SetClosedRecordsKept(std::size_t count) {
    closedKept_ = count;
    ForgetOldRecords();
}

void frmDrennik::ShowFields(int number) {
    HoldRepaints();
    Record& record = *Find(number);
    ConnectionSlot* slot = record.full.get();  // none once only the summary is kept
    ConnectionSlot summary;
    if (slot == nullptr) {
        summary = record.summary.Fields();
    }
    const ConnectionSlot& shown = slot != nullptr ? *slot : summary;
    SetShown(txtRequest, shown.request);
    SetShown(txtSocket, NumberText(shown.socket));
    SetShown(txtState, StateText(shown.state));
    SetShown(txtUser, shown.user);
    SetShown(txtTotalCount, NumberText(shown.totalCount));
    SetShown(txtTotalSize, NumberText(shown.totalSize));
    marksModel_->Show(slot);
    sizesModel_->Show(slot);
    namesModel_->Show(slot);
    // A changed mark repaints its row only: the reader's scroll position and selection stay.
    if (slot != nullptr && slot->MarksChanged()) {
        marksModel_->RowsChanged(slot->marksChangedFrom, slot->marksChangedTo);
        slot->ForgetMarkChanges();
    }
}

void frmDrennik::RefreshView() {
    ShowFields(shown_);
}

void frmDrennik::ResumeLater(int index) {
    QMetaObject::invokeMethod(
        this, [this, index] { txtRequest_DblClick(index); }, Qt::QueuedConnection);
}

void frmDrennik::OnClosed(int index) {
    connections_.erase(index);
    if (Record* record = Find(index)) {
        record->open = false;
        ++closedRecords_;
    }
    // Only recent records keep their lists; older ones keep a summary of their fields.
    closedKeepingLists_.push_back(index);
    if (closedKeepingLists_.size() > kClosedKeepingLists) {
        const int released = closedKeepingLists_.front();
        closedKeepingLists_.pop_front();
        if (Record* old = Find(released)) {
            old->summary = SlotSummary::Of(*old->full);
            if (released == shown_) {  // the views let go of the record before it is freed
                marksModel_->Show(nullptr);
                sizesModel_->Show(nullptr);
                namesModel_->Show(nullptr);
            }
            old->full.reset();
        }
    }
    ForgetOldRecords();
    ResumeAccepting();  // a descriptor is free again
    RefreshView();
}

void frmDrennik::ForgetOldRecords() {
    // Open connections stay whatever their age; the oldest closed one goes first. Those before
    // it are open, so the search stops within the open connections.
    std::size_t row = 1;
    while (closedRecords_ > closedKept_ && row < records_.size()) {
        if (records_[row].open) {
            ++row;
            continue;
        }
        if (records_[row].number == shown_) {
            int none = 0;
            ShowConnection(none);
        }
        numbers_->Remove(static_cast<int>(row), [&] {
            records_.erase(records_.begin() + static_cast<std::ptrdiff_t>(row));
        });
        --closedRecords_;
    }
}

void frmDrennik::PauseAccepting() {
    if (acceptPaused_) {
        return;
    }
    acceptPaused_ = true;
    AskForAccepts(0);
    QTimer::singleShot(kAcceptPauseMs, this, &frmDrennik::ResumeAccepting);
}

void frmDrennik::ResumeAccepting() {
    if (acceptPaused_ && loaded_) {
        acceptPaused_ = false;
        AskForAccepts(platform::FD_ACCEPT);
    }
}

void frmDrennik::AskForAccepts(long events) {
    for (const int listener : {listeningSocket_, tlsListeningSocket_}) {
        if (listener >= 0) {
            platform::WSAAsyncSelect(listener, this, kAcceptMessage, events);
        }
    }
}

bool frmDrennik::OverLimit(std::uint32_t peer) const {
    return (limits_.total > 0 && falquor_.ActiveConnections() >= limits_.total) ||
           (limits_.perAddress > 0 && falquor_.ActiveConnectionsFrom(peer) >= limits_.perAddress);
}

int frmDrennik::ListeningPort() const {
    return platform::LocalPort(listeningSocket_);
}

int frmDrennik::TlsListeningPort() const {
    return tlsListeningSocket_ >= 0 ? platform::LocalPort(tlsListeningSocket_) : -1;
}

bool frmDrennik::event(QEvent* event) {
    if (event->type() != platform::SocketEvent::type()) {
        return QWidget::event(event);
    }
    // Only the listening sockets report here; connections report to the socket layer.
    const auto* socketEvent = static_cast<const platform::SocketEvent*>(event);
    if (socketEvent->message() == kAcceptMessage) {
        if (socketEvent->socket() == tlsListeningSocket_) {
            Accept(tlsListeningSocket_, true);
        } else {
            txtRequest_MouseUp();
        }
        RefreshView();
    }
    return true;
}

void frmDrennik::HoldRepaints() {
    if (repaintTimer_.isActive()) {
        return;
    }
    setUpdatesEnabled(false);
    repaintTimer_.start();
}

void frmDrennik::closeEvent(QCloseEvent* event) {
    Form_Unload();
    event->accept();
}
