#include "main_window/frm_drennik.h"
#include "mail_service/authenticator.h"
#include "platform/dialogs.h"
#include "platform/twips.h"
#include "platform/winsock.h"
#include "socket_layer/mod_falquor.h"
#include "socket_layer/trace_file.h"
#include "support/focus.h"
#include "support/loopback.h"
#include "trace_window/frm_falquor_dialog.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QScrollBar>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

using namespace testing_support;

namespace {

QRect Twips(const QWidget* w, int left, int top, int width, int height) {
    const int dx = w->logicalDpiX();
    const int dy = w->logicalDpiY();
    return QRect(platform::TwipsToPixels(left, dx), platform::TwipsToPixels(top, dy),
                 platform::TwipsToPixels(width, dx), platform::TwipsToPixels(height, dy));
}

std::string ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

QStringList Rows(const QListView* view) {
    QStringList rows;
    for (int i = 0; i < view->model()->rowCount(); ++i) {
        rows << view->model()->index(i, 0).data().toString();
    }
    return rows;
}

// The server window started on a free port over a temporary maildrop root.
struct Server {
    Server()
        : trace(falquor.trace()),
          service(falquor, MaildropStore(root.path())),
          window(service, trace) {
        service.SetListening(0, -1);
        window.Form_Load();
        window.show();
        port = service.ListeningPort();
    }
    ~Server() { window.close(); }

    std::string Trace() { return falquor.trace().Contents(); }

    TempDir root;
    modFalquor falquor;
    frmFalquorDialog trace;
    MailService service;
    frmDrennik window;
    int port = 0;
};

}  // namespace

TEST(MainWindow, ControlsAsDesigned) {
    modFalquor falquor;
    frmFalquorDialog trace(falquor.trace());
    MailService service(falquor, MaildropStore("/nonexistent"));
    frmDrennik w(service, trace);
    EXPECT_EQ(w.windowTitle(), "Drennik");
    EXPECT_EQ(w.size(), Twips(&w, 0, 0, 7470, 5025).size());
    EXPECT_EQ(w.palette().color(QPalette::Window), QColor(192, 192, 192));
    EXPECT_EQ(w.font().family(), "MS Sans Serif");
    EXPECT_DOUBLE_EQ(w.font().pointSizeF(), 8.25);
    EXPECT_TRUE(w.font().bold());

    struct Expected {
        QWidget* control;
        const char* kind;
        QString caption;
        QRect twips;
    };
    const Expected controls[] = {
        {w.lblConnection, "QLabel", "Connection:", {240, 360, 1215, 255}},
        {w.cboConnection, "QComboBox", "", {1320, 360, 1215, 315}},
        {w.txtRequest, "QLineEdit", "", {2760, 360, 855, 315}},
        {w.lblSocket, "QLabel", "Socket:", {3720, 360, 615, 255}},
        {w.txtSocket, "QLineEdit", "", {4440, 360, 495, 315}},
        {w.lblState, "QLabel", "State:", {5160, 360, 495, 255}},
        {w.txtState, "QLineEdit", "", {5880, 360, 1455, 315}},
        {w.lblUser, "QLabel", "User:", {240, 840, 495, 255}},
        {w.txtUser, "QLineEdit", "", {960, 840, 1935, 315}},
        {w.lblTotalCount, "QLabel", "Total Count:", {3000, 840, 1095, 255}},
        {w.txtTotalCount, "QLineEdit", "", {4080, 840, 855, 315}},
        {w.lblTotalSize, "QLabel", "Total Size:", {5040, 840, 975, 255}},
        {w.txtTotalSize, "QLineEdit", "", {6000, 840, 1335, 315}},
        {w.lstDeletionList, "QListView", "", {240, 1320, 375, 3570}},
        {w.lstSizeList, "QListView", "", {600, 1320, 735, 3570}},
        {w.lstFileList, "QListView", "", {1320, 1320, 6015, 3570}},
    };
    for (const Expected& e : controls) {
        SCOPED_TRACE(e.control->objectName().toStdString());
        EXPECT_STREQ(e.control->metaObject()->className(), e.kind);
        EXPECT_TRUE(e.control->isVisibleTo(&w));
        EXPECT_EQ(e.control->font(), w.font()) << "no control has a font of its own";
        const QRect designed =
            Twips(&w, e.twips.x(), e.twips.y(), e.twips.width(), e.twips.height());
        if (auto* label = qobject_cast<QLabel*>(e.control)) {
            EXPECT_EQ(label->text(), e.caption);
            EXPECT_EQ(label->palette().color(QPalette::Window), QPalette().color(QPalette::Base));
            EXPECT_EQ(label->palette().color(QPalette::WindowText),
                      QPalette().color(QPalette::Text));
            EXPECT_TRUE(label->autoFillBackground());
            // No caption is clipped; a label grows only as far as its text needs.
            EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width());
            EXPECT_EQ(label->pos(), designed.topLeft());
            EXPECT_EQ(label->height(), designed.height());
            EXPECT_GE(label->width(), designed.width());
            if (label->width() > designed.width()) {
                EXPECT_EQ(label->width(), label->fontMetrics().horizontalAdvance(label->text()));
            }
        } else {
            EXPECT_EQ(e.control->geometry(), designed);
        }
        if (auto* box = qobject_cast<QLineEdit*>(e.control)) {
            EXPECT_TRUE(box->isReadOnly());
        }
    }
    // Labels never reach over the control that follows them.
    EXPECT_LE(w.lblSocket->geometry().right(), w.txtSocket->x());
    EXPECT_LE(w.lblState->geometry().right(), w.txtState->x());
    EXPECT_LE(w.lblUser->geometry().right(), w.txtUser->x());
    EXPECT_LE(w.lblTotalSize->geometry().right(), w.txtTotalSize->x());

    // Tab order: lstFileList 0, the text boxes 1-5, the request box 12, the selector 13, the
    // deletion and size lists 14 and 15 (the labels hold the numbers between, but take no focus).
    const auto chain = {
        static_cast<QWidget*>(w.lstFileList),     static_cast<QWidget*>(w.txtTotalSize),
        static_cast<QWidget*>(w.txtTotalCount),   static_cast<QWidget*>(w.txtUser),
        static_cast<QWidget*>(w.txtState),        static_cast<QWidget*>(w.txtSocket),
        static_cast<QWidget*>(w.txtRequest),      static_cast<QWidget*>(w.cboConnection),
        static_cast<QWidget*>(w.lstDeletionList), static_cast<QWidget*>(w.lstSizeList)};
    for (auto it = chain.begin(); it + 1 != chain.end(); ++it) {
        EXPECT_EQ(NextControl(*it, chain), *(it + 1)) << (*it)->objectName().toStdString();
    }
}

TEST(MainWindow, FormLoadOpensTheTraceWindowFirstAndPreparesSlotZero) {
    Server s;
    EXPECT_TRUE(s.trace.isVisible());
    EXPECT_GT(s.port, 0);
    EXPECT_EQ(s.window.cboConnection->count(), 1);
    EXPECT_EQ(s.window.cboConnection->itemText(0), "0");
    EXPECT_EQ(s.window.cboConnection->currentIndex(), -1);
    EXPECT_EQ(s.window.shownConnection(), 0);
    for (QLineEdit* box : {s.window.txtRequest, s.window.txtSocket, s.window.txtState,
                           s.window.txtUser, s.window.txtTotalCount, s.window.txtTotalSize}) {
        EXPECT_EQ(box->text(), "");
    }
    EXPECT_EQ(Rows(s.window.lstFileList), QStringList{""});
    EXPECT_TRUE(Rows(s.window.lstSizeList).isEmpty());
    EXPECT_TRUE(Rows(s.window.lstDeletionList).isEmpty());
    // Picking "0" selects it and changes nothing else.
    s.window.cboConnection->setCurrentIndex(0);
    EXPECT_EQ(s.window.shownConnection(), 0);
    EXPECT_EQ(Rows(s.window.lstFileList), QStringList{""});
}

TEST(MainWindow, FormUnloadClosesTheListenerAndEveryConnection) {
    Server s;
    LoopbackClient client(s.port);
    ASSERT_EQ(client.ReadUntil("\r\n"), "+OK Drennik here\r\n");
    s.window.close();
    EXPECT_TRUE(client.WaitForClose());
    LoopbackClient late;
    EXPECT_FALSE(late.Connect(s.port));
}

TEST(MainWindow, EachConnectionGetsItsSlotGreetingAndConversation) {
    Server s;
    // Sizes are shown as RETR sends them: the LF goes out as CR LF, the last line gets one.
    s.root.Write("bob/1", std::string(119, 'a') + "\n");
    s.root.Write("bob/2", std::string(200, 'b'));
    LoopbackClient first(s.port);
    ASSERT_EQ(first.ReadUntil("\r\n"), "+OK Drennik here\r\n");
    ASSERT_TRUE(PumpUntil([&] { return s.window.shownConnection() == 1; }));
    EXPECT_EQ(s.window.cboConnection->count(), 2);
    EXPECT_EQ(s.window.cboConnection->currentIndex(), 1);
    EXPECT_EQ(s.window.shownConnection(), 1);
    const QString handle = QString::number(s.service.LastAcceptedSocket());
    EXPECT_EQ(s.window.txtSocket->text(), handle);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(first.fd(), reinterpret_cast<sockaddr*>(&local), &length);
    EXPECT_EQ(s.window.txtSocket->toolTip(),
              QString("client 127.0.0.1:%1").arg(ntohs(local.sin_port)));
    EXPECT_EQ(s.window.txtState->text(), "Authorisation");
    EXPECT_EQ(s.window.txtUser->text(), "");
    EXPECT_NE(s.Trace().find("[" + handle.toStdString() + "-->] >+OK Drennik here<\r\n"),
              std::string::npos);

    LoopbackClient second(s.port);
    ASSERT_EQ(second.ReadUntil("\r\n"), "+OK Drennik here\r\n");
    ASSERT_TRUE(PumpUntil([&] { return s.window.shownConnection() == 2; }));
    EXPECT_EQ(s.window.cboConnection->currentText(), "2");

    // Each client is answered on its own socket, and a request shows its connection.
    first.Send("USER bob\r\nPASS bob\r\n");
    EXPECT_EQ(first.ReadUntil("+OK\r\n+OK\r\n"), "+OK\r\n+OK\r\n");
    ASSERT_TRUE(PumpUntil([&] { return s.window.txtTotalCount->text() == "2"; }));
    EXPECT_EQ(s.window.shownConnection(), 1);
    EXPECT_EQ(s.window.cboConnection->currentIndex(), 1);
    EXPECT_EQ(s.window.txtState->text(), "Transaction");
    EXPECT_EQ(s.window.txtTotalSize->text(), "323");
    EXPECT_EQ(s.window.txtRequest->text(), "PASS bob");
    EXPECT_EQ(Rows(s.window.lstFileList), (QStringList{"1", "2"}));
    EXPECT_EQ(Rows(s.window.lstSizeList), (QStringList{" 121", " 202"}));
    EXPECT_EQ(Rows(s.window.lstDeletionList), (QStringList{" ", " "}));
    second.Send("STAT\r\n");
    EXPECT_EQ(second.ReadUntil("\r\n"), "+OK  \r\n");
    ASSERT_TRUE(PumpUntil([&] { return s.window.shownConnection() == 2; }));
    first.Send("DELE 2\r\n");
    EXPECT_EQ(first.ReadUntil("\r\n"), "+OK\r\n");
    ASSERT_TRUE(PumpUntil([&] { return s.window.shownConnection() == 1; }));
    EXPECT_EQ(Rows(s.window.lstDeletionList), (QStringList{" ", "D"}));

    // Picking "0" and back shows each slot's fields.
    s.window.cboConnection->setCurrentIndex(0);
    EXPECT_EQ(s.window.txtUser->text(), "");
    EXPECT_EQ(Rows(s.window.lstFileList), QStringList{""});
    s.window.cboConnection->setCurrentIndex(1);
    EXPECT_EQ(s.window.txtUser->text(), "bob");
    EXPECT_EQ(Rows(s.window.lstDeletionList), (QStringList{" ", "D"}));
}

TEST(MainWindow, TheTraceShowsEveryLineAsSent) {
    Server s;
    s.root.Write("bob/1", "Subject: x\r\n\r\n.dot\r\n");
    LoopbackClient client(s.port);
    client.Send("USER bob\r\nPASS bob\r\nRETR 1\r\n");
    ASSERT_FALSE(client.ReadUntil("\r\n.\r\n").empty());
    client.Send(std::string(70 * 1024, 'x'));
    EXPECT_EQ(client.ReadUntil("\r\n"), "-ERR line too long\r\n");
    const std::string n = std::to_string(s.service.LastAcceptedSocket());
    const std::string sent = "[" + n + "-->] >";
    const std::string received = "[-->" + n + "] \r\n >";
    EXPECT_NE(
        s.Trace().find(received + "RETR 1<\r\n" + sent + "+OK<\r\n" + sent + "Subject: x<\r\n" +
                       sent + "<\r\n" + sent + "..dot<\r\n" + sent + ".<\r\n"),
        std::string::npos)
        << s.Trace();
    EXPECT_NE(s.Trace().find(sent + "-ERR line too long<\r\n"), std::string::npos);
}

TEST(MainWindow, ShowConnectionClampsAndReturnsEarly) {
    Server s;
    LoopbackClient client(s.port);
    ASSERT_TRUE(PumpUntil([&] { return s.window.shownConnection() == 1; }));
    int number = 2;  // no such record
    s.window.ShowConnection(number);
    EXPECT_EQ(number, 0);
    EXPECT_EQ(s.window.shownConnection(), 0);
    EXPECT_EQ(s.window.cboConnection->currentIndex(), 0);
    number = -1;
    s.window.ShowConnection(number);
    EXPECT_EQ(number, 0);
    // Switching to the slot already shown leaves the selection as it is, even if it differs.
    s.window.cboConnection->blockSignals(true);
    s.window.cboConnection->setCurrentIndex(1);
    s.window.cboConnection->blockSignals(false);
    number = 0;
    s.window.ShowConnection(number);
    EXPECT_EQ(s.window.cboConnection->currentIndex(), 1);
    EXPECT_EQ(s.window.shownConnection(), 0);
}

TEST(MainWindow, ClosedConnectionsKeepTheirFieldsAndRecentOnesTheirLists) {
    Server s;
    s.root.Write("bob/1", "x");
    s.falquor.SetIdleTimeout(std::chrono::hours(1));
    s.service.SetClosedRecordsKept(MailService::kClosedKeptWithWindow);
    const int rounds = static_cast<int>(MailService::kClosedKeepingLists) + 2;
    for (int i = 0; i < rounds; ++i) {
        LoopbackClient client(s.port);
        client.Send("USER bob\r\nPASS bob\r\n");
        ASSERT_EQ(client.ReadUntil("+OK\r\n+OK\r\n"), "+OK Drennik here\r\n+OK\r\n+OK\r\n");
        client.Close();
        ASSERT_TRUE(PumpUntil([&] { return !s.service.IsOpen(i + 1); })) << i;
    }
    EXPECT_EQ(s.falquor.OpenConnections(), 0u);
    EXPECT_EQ(s.service.Slot(1), nullptr) << "long closed: only a summary is kept";
    EXPECT_EQ(s.service.Slot(2), nullptr);
    ASSERT_NE(s.service.Slot(3), nullptr);
    EXPECT_EQ(s.service.Slot(3)->MessageCount(), 1);
    EXPECT_EQ(s.service.Slot(rounds)->MessageCount(), 1);
    // Picked, a summarised connection still shows its fields, with empty lists.
    s.window.cboConnection->setCurrentIndex(1);
    EXPECT_EQ(s.window.txtUser->text(), "bob");
    EXPECT_EQ(s.window.txtState->text(), "Transaction");
    EXPECT_FALSE(s.window.txtSocket->text().isEmpty());
    EXPECT_EQ(s.window.txtTotalCount->text(), "1");
    EXPECT_EQ(s.window.txtTotalSize->text(), "3");
    EXPECT_EQ(s.window.lstFileList->model()->rowCount(), 0);
    s.window.cboConnection->setCurrentIndex(rounds);
    EXPECT_EQ(s.window.lstFileList->model()->rowCount(), 1);
}

TEST(MainWindow, RealPasswordsAreMaskedInTheTraceTheFieldsTheRecordsAndASavedTrace) {
    Server s;
    s.root.Write("alice/1", "x");
    Authenticator auth;  // alice's password is "pw"
    auth.SetPasswords({{"alice", "$1$saltsalt$6SNdNaZLKst2LlSm7oPPL1"}});
    s.service.SetAuthenticator(&auth);
    LoopbackClient client(s.port);
    client.Send("USER alice\r\npass pw\r\n");
    ASSERT_EQ(client.ReadUntil("+OK\r\n+OK\r\n"), "+OK Drennik here\r\n+OK\r\n+OK\r\n");
    ASSERT_TRUE(PumpUntil([&] { return s.window.txtRequest->text() == "pass ****"; }));
    EXPECT_EQ(s.service.Slot(1)->request, "pass ****");
    EXPECT_NE(s.Trace().find("] \r\n >pass ****<\r\n"), std::string::npos) << s.Trace();
    TempDir saved;
    platform::SetInputBoxAnswerForTesting([&](const QString&) {
        return std::optional<QString>(QString::fromStdString(saved.path() + "/trace"));
    });
    s.trace.Save_Click();
    platform::SetInputBoxAnswerForTesting(nullptr);
    std::ifstream file(saved.path() + "/trace", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), {});
    EXPECT_NE(bytes.find("pass ****"), std::string::npos);
    for (const std::string& kept : {s.Trace(), bytes, s.service.Slot(1)->request}) {
        EXPECT_EQ(kept.find("pass pw"), std::string::npos) << kept;
    }
}

TEST(MainWindow, TheTraceFileHoldsWhatASavedTraceHoldsAndWhatTheRingLetGo) {
    // Far more than the ring keeps, and long enough to leave by sendfile.
    std::string big;
    int lines = 0;
    for (; big.size() < 8 * TraceRing::kDefaultCapacity; ++lines) {
        big += "line " + std::to_string(lines) + "\r\n";
    }
    for (const bool passwords : {false, true}) {
        SCOPED_TRACE(passwords ? "with a passwords file" : "the password is the user name");
        Server s;
        s.root.Write("alice/1", "Subject: small\r\n\r\nhi\r\n");
        s.root.Write("alice/2", big);
        TempDir files;
        TraceFile file(files.path() + "/trace");
        ASSERT_EQ(file.Open(), "");
        s.falquor.trace().SetSink(&file);
        Authenticator auth;  // alice's password is "pw"
        if (passwords) {
            auth.SetPasswords({{"alice", "$1$saltsalt$6SNdNaZLKst2LlSm7oPPL1"}});
        }
        s.service.SetAuthenticator(&auth);
        // A whole session, until the trace says the server closed it too; then what the file
        // holds, and what Save writes.
        const auto session = [&](const std::string& commands, std::string& saved) {
            LoopbackClient client(s.port);
            client.Send("USER alice\r\nPASS " + std::string(passwords ? "pw" : "alice") + "\r\n" +
                        commands + "XEND\r\n");
            EXPECT_NE(client.ReadUntil("-ERR XEND not supported\r\n"), "");
            client.Close();
            EXPECT_TRUE(PumpUntil([&] { return s.Trace().ends_with(">closed<\r\n"); }));
            file.Flush();
            platform::SetInputBoxAnswerForTesting([&](const QString&) {
                return std::optional<QString>(QString::fromStdString(files.path() + "/saved"));
            });
            s.trace.Save_Click();
            platform::SetInputBoxAnswerForTesting(nullptr);
            saved = ReadAll(files.path() + "/saved");
            return ReadAll(files.path() + "/trace");
        };
        std::string saved;
        std::string written = session("LIST\r\nRETR 1\r\n", saved);
        EXPECT_EQ(written + "\r\n", saved);  // Save adds a CR LF
        EXPECT_NE(written.find(passwords ? " >PASS ****<" : " >PASS alice<"), std::string::npos);
        EXPECT_EQ(written.find("PASS pw"), std::string::npos);

        // More than the ring holds: the file has every entry, the saved trace its tail.
        written = session("RETR 2\r\n", saved);
        EXPECT_TRUE(written.ends_with(saved.substr(0, saved.size() - 2)));
        int entries = 0;
        for (std::size_t at = 0; (at = written.find("-->] >line ", at)) != std::string::npos;
             ++at) {
            ++entries;
        }
        EXPECT_EQ(entries, lines);
        s.falquor.trace().SetSink(nullptr);
    }
}

TEST(MainWindow, ManyChangesInOneFrameMakeOneRefreshThatLeavesTheWindowCurrent) {
    Server s;
    LoopbackClient client(s.port);
    ASSERT_TRUE(PumpUntil([&] { return s.window.shownConnection() == 1; }));
    client.Send("NOOP\r\n");
    ASSERT_EQ(client.ReadUntil("+OK\r\n"), "+OK Drennik here\r\n+OK\r\n");
    PumpFor(50ms);
    const std::uint64_t before = s.window.Refreshes();
    for (int i = 0; i < 100; ++i) {
        emit s.service.Served(1);
        emit s.service.Changed(1);
    }
    EXPECT_EQ(s.window.Refreshes(), before) << "nothing is painted inside the handlers";
    ASSERT_TRUE(PumpUntil([&] { return s.window.Refreshes() > before; }));
    PumpFor(50ms);
    EXPECT_EQ(s.window.Refreshes(), before + 1);
    EXPECT_EQ(s.window.txtRequest->text(), "NOOP");
}

TEST(MainWindow, OnlyServedRequestsMoveTheWindowAlsoWhenAnsweredLater) {
    Server s;
    s.root.Write("bob/1", std::string(4 * 1024 * 1024, 'm') + "\r\n");
    // Connection 1 asks for a long message and, behind it, for STAT, but reads nothing yet.
    LoopbackClient first(s.port, 4096);
    ASSERT_EQ(first.ReadUntil("\r\n"), "+OK Drennik here\r\n");
    first.Send("USER bob\r\nPASS bob\r\nRETR 1\r\nSTAT\r\n");
    ASSERT_TRUE(PumpUntil([&] { return s.service.Slot(1)->request == "RETR 1"; }));
    // Connection 2 comes and goes: its arrival shows it, its departure moves nothing.
    {
        LoopbackClient second(s.port);
        ASSERT_EQ(second.ReadUntil("\r\n"), "+OK Drennik here\r\n");
        ASSERT_TRUE(PumpUntil([&] { return s.window.shownConnection() == 2; }));
    }
    LoopbackClient third(s.port);
    ASSERT_EQ(third.ReadUntil("\r\n"), "+OK Drennik here\r\n");
    ASSERT_TRUE(PumpUntil([&] { return !s.service.IsOpen(2) && s.window.shownConnection() == 3; }));
    PumpFor(50ms);  // a frame and more
    EXPECT_EQ(s.window.shownConnection(), 3) << "a disconnect does not pull the window";
    // Once connection 1 reads its reply, its STAT is served, and that shows connection 1.
    EXPECT_FALSE(first.ReadUntil("+OK 1 4194306\r\n", 60s).empty());
    ASSERT_TRUE(PumpUntil([&] { return s.window.txtRequest->text() == "STAT"; }));
    EXPECT_EQ(s.window.shownConnection(), 1);
    EXPECT_EQ(s.window.cboConnection->currentIndex(), 1);
}

TEST(MainWindow, MarksUpdateInPlaceKeepingScrollAndSelection) {
    Server s;
    for (int i = 0; i < 300; ++i) {
        s.root.Write("bob/" + std::to_string(1000 + i), "x");
    }
    LoopbackClient client(s.port);
    client.Send("USER bob\r\nPASS bob\r\n");
    ASSERT_EQ(client.ReadUntil("+OK\r\n+OK\r\n"), "+OK Drennik here\r\n+OK\r\n+OK\r\n");
    ASSERT_TRUE(PumpUntil([&] { return s.window.lstDeletionList->model()->rowCount() == 300; }));
    QListView* marks = s.window.lstDeletionList;
    // The view lays out its new rows in a pass of its own.
    ASSERT_TRUE(PumpUntil([&] { return marks->verticalScrollBar()->maximum() > 0; }));
    marks->setCurrentIndex(marks->model()->index(150, 0));
    marks->scrollTo(marks->model()->index(150, 0), QAbstractItemView::PositionAtTop);
    const int scrolled = marks->verticalScrollBar()->value();
    ASSERT_GT(scrolled, 0);
    int resets = 0;
    int changed = 0;
    QObject::connect(marks->model(), &QAbstractItemModel::modelReset, [&] { ++resets; });
    QObject::connect(marks->model(), &QAbstractItemModel::dataChanged,
                     [&](const QModelIndex& from, const QModelIndex& to) {
                         changed += to.row() - from.row() + 1;
                     });
    client.Send("DELE 152\r\n");
    ASSERT_EQ(client.ReadUntil("\r\n"), "+OK\r\n");
    ASSERT_TRUE(PumpUntil([&] { return changed > 0; }));
    EXPECT_EQ(marks->model()->index(151, 0).data().toString(), "D");
    EXPECT_EQ(resets, 0);
    EXPECT_EQ(changed, 1) << "only the changed row";
    EXPECT_EQ(marks->verticalScrollBar()->value(), scrolled);
    EXPECT_EQ(marks->currentIndex().row(), 150);
}

TEST(MainWindow, AWindowDestroyedWithoutCloseLeavesNothingThatCallsIt) {
    TempDir root;
    modFalquor falquor;
    frmFalquorDialog trace(falquor.trace());
    MailService service(falquor, MaildropStore(root.path()));
    service.SetListening(0, -1);
    auto window = std::make_unique<frmDrennik>(service, trace);
    window->Form_Load();
    LoopbackClient client(service.ListeningPort());
    ASSERT_EQ(client.ReadUntil("\r\n"), "+OK Drennik here\r\n");
    // A request read by the socket layer, its notice still to be delivered, and a refresh of
    // the window still to come.
    client.Send("STAT\r\n");
    const int socket = service.LastAcceptedSocket();
    pollfd ready{socket, POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, 20000), 1);
    falquor.OnSocketEvent(socket, platform::FD_READ);
    window.reset();
    EXPECT_EQ(falquor.OpenConnections(), 0u);
    EXPECT_TRUE(client.WaitForClose());
    PumpFor(100ms);  // whatever was queued for the window runs into nothing
}

TEST(MainWindow, ARefusedRegistrationIsReportedWithoutStoppingTheService) {
    Server s;
    std::vector<QString> boxes;
    platform::SetMessageBoxObserverForTesting([&](const QString& text) { boxes.push_back(text); });
    platform::SetAsyncSelectFailsForTesting(true);
    LoopbackClient refused(s.port);
    // The connection is greeted, but its requests are never read.
    EXPECT_EQ(refused.ReadUntil("\r\n"), "+OK Drennik here\r\n");
    ASSERT_TRUE(PumpUntil([&] { return !boxes.empty(); }));
    platform::SetAsyncSelectFailsForTesting(false);
    EXPECT_EQ(boxes.front(), "Unable to set Asynch mode");
    // The box does not hold up the loop: the next connection is served at once.
    LoopbackClient next(s.port);
    next.Send("STAT\r\n");
    EXPECT_EQ(next.ReadUntil("+OK  \r\n"), "+OK Drennik here\r\n+OK  \r\n");
    platform::SetMessageBoxObserverForTesting(nullptr);
}
