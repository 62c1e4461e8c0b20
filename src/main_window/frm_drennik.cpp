#include "main_window/frm_drennik.h"

#include "main_window/slot_models.h"
#include "platform/dialogs.h"
#include "platform/fonts.h"
#include "platform/twips.h"
#include "trace_window/frm_falquor_dialog.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>

namespace {

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

frmDrennik::frmDrennik(MailService& service, frmFalquorDialog& traceWindow, QWidget* parent)
    : QWidget(parent), service_(service), traceWindow_(traceWindow) {
    platform::InstallFontSubstitutes();
    service_.SetClosedRecordsKept(MailService::kClosedKeptWithWindow);
    BuildControls();
    refreshTimer_.setSingleShot(true);
    refreshTimer_.setInterval(kRefreshIntervalMs);
    connect(&refreshTimer_, &QTimer::timeout, this, &frmDrennik::RefreshView);
    connect(&service_, &MailService::Accepted, this, [this](int n) { ScheduleRefresh(n); });
    connect(&service_, &MailService::Served, this, [this](int n) { ScheduleRefresh(n); });
    connect(&service_, &MailService::Changed, this, [this](int) { ScheduleRefresh(); });
    connect(&service_, &MailService::Releasing, this, &frmDrennik::LetGoOf);
    // Non-blocking: a box that waited would hold up every connection.
    connect(&service_, &MailService::Problem, this,
            [this](const QString& text) { platform::ShowMessage(text, this); });
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

    marksModel_ = new SlotListModel(SlotListModel::Column::DeletionMarks, this);
    sizesModel_ = new SlotListModel(SlotListModel::Column::Sizes, this);
    namesModel_ = new SlotListModel(SlotListModel::Column::FileNames, this);

    lblConnection = label("lblConnection", "Connection:", 240, 360, 1215, 255);
    cboConnection = new QComboBox(this);
    cboConnection->setObjectName(QStringLiteral("cboConnection"));
    cboConnection->setModel(&service_.Connections());
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
    const QString failed = service_.Start();
    if (!failed.isEmpty()) {
        platform::MessageBox(failed, this);
        platform::EndProgram(1);
    }
    cboConnection->setCurrentIndex(-1);
    shown_ = 0;
    ShowFields(0);
}

void frmDrennik::Form_Unload() {
    service_.Stop();
}

void frmDrennik::txtRequest_MouseUp() {
    service_.AcceptFrom(false);
}

void frmDrennik::txtRequest_DblClick(int index) {
    service_.Serve(index);
}

void frmDrennik::ShowConnection(int& number) {
    int row = service_.RowOf(number);
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
    int number = row >= 0 && row < service_.RecordCount() ? service_.NumberAt(row) : -1;
    ShowConnection(number);
}

void frmDrennik::ScheduleRefresh(int follow) {
    if (follow >= 0) {
        follow_ = follow;
    }
    if (!refreshTimer_.isActive()) {
        refreshTimer_.start();
    }
}

void frmDrennik::RefreshView() {
    refreshTimer_.stop();
    ++refreshes_;
    if (follow_ >= 0) {
        int number = follow_;
        follow_ = -1;
        ShowConnection(number);
    }
    ShowFields(shown_);
}

void frmDrennik::LetGoOf(int number, bool forgetting) {
    if (number != shown_) {
        return;
    }
    // The views let go of the record's lists before they are freed.
    marksModel_->Show(nullptr);
    sizesModel_->Show(nullptr);
    namesModel_->Show(nullptr);
    if (forgetting) {
        int none = 0;
        ShowConnection(none);
    } else {
        ScheduleRefresh();
    }
}

void frmDrennik::ShowFields(int number) {
    ConnectionSlot* slot = service_.Slot(number);  // none once only the summary is kept
    const ConnectionSlot fields = service_.Fields(number);
    SetShown(txtRequest, fields.request);
    SetShown(txtSocket, NumberText(fields.socket));
    // Who the connection is, on the socket field: the client, and the balancer it came through.
    std::string client;
    if (slot != nullptr && number != 0) {
        client = "client ";
        slot->peerAddress.AppendWithPort(client, slot->peerPort);
        if (slot->proxied) {
            client += " via ";
            slot->proxyAddress.AppendWithPort(client, slot->proxyPort);
        }
    }
    txtSocket->setToolTip(
        QString::fromLatin1(client.data(), static_cast<qsizetype>(client.size())));
    SetShown(txtState, ShownState(fields));
    SetShown(txtUser, fields.user);
    SetShown(txtTotalCount, NumberText(fields.totalCount));
    SetShown(txtTotalSize, NumberText(fields.totalSize));
    marksModel_->Show(slot);
    sizesModel_->Show(slot);
    namesModel_->Show(slot);
    // A changed mark repaints its row only: the reader's scroll position and selection stay.
    if (slot != nullptr && slot->MarksChanged()) {
        marksModel_->RowsChanged(slot->marksChangedFrom, slot->marksChangedTo);
        slot->ForgetMarkChanges();
    }
}

void frmDrennik::closeEvent(QCloseEvent* event) {
    Form_Unload();
    event->accept();
}
