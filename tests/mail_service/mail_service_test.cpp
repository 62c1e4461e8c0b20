#include "mail_service/mail_service.h"
#include "socket_layer/mod_falquor.h"
#include "support/loopback.h"

#include <gtest/gtest.h>

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

// The core started on a free port over a temporary maildrop root: no window, no widgets.
struct Service {
    Service() : service(falquor, MaildropStore(root.path())) {
        service.SetListening(0, -1);
        EXPECT_EQ(service.Start(), QString());
        port = service.ListeningPort();
    }

    QStringList Entries() {
        QStringList entries;
        for (int row = 0; row < service.Connections().rowCount(); ++row) {
            entries << service.Connections().index(row).data().toString();
        }
        return entries;
    }

    TempDir root;
    modFalquor falquor;
    MailService service;
    int port = 0;
};

}  // namespace

TEST(Core, ConnectionsOverALimitAreRefusedWithoutARecord) {
    Service s;
    s.service.SetLimits(ConnectionLimits{3, 2, {}, {}});
    LoopbackClient first(s.port);
    LoopbackClient second(s.port);
    ASSERT_EQ(first.ReadUntil("\r\n"), "+OK Drennik here\r\n");
    ASSERT_EQ(second.ReadUntil("\r\n"), "+OK Drennik here\r\n");
    // A third from the same address: over the per-address limit.
    LoopbackClient third(s.port);
    third.Send("USER a\r\n");
    EXPECT_EQ(third.ReadUntil("\r\n"), "-ERR too many connections\r\n");
    EXPECT_TRUE(third.WaitForClose());
    EXPECT_EQ(s.Entries(), QStringList({"0", "1", "2"}));
    // A closed connection no longer counts.
    first.Close();
    ASSERT_TRUE(PumpUntil([&] { return !s.service.IsOpen(1); }));
    LoopbackClient fourth(s.port);
    EXPECT_EQ(fourth.ReadUntil("\r\n"), "+OK Drennik here\r\n");
    // The limit in all, whatever the address.
    s.service.SetLimits(ConnectionLimits{2, 0, {}, {}});
    LoopbackClient fifth(s.port);
    EXPECT_EQ(fifth.ReadUntil("\r\n"), "-ERR too many connections\r\n");
    EXPECT_EQ(s.service.RecordCount(), 4);
}

TEST(Core, TheOldestClosedRecordsGoFirstOpenOnesStayAndObserversAreTold) {
    Service s;
    std::vector<int> accepted;
    std::vector<std::pair<int, bool>> released;
    QObject::connect(&s.service, &MailService::Accepted, [&](int n) { accepted.push_back(n); });
    QObject::connect(&s.service, &MailService::Releasing,
                     [&](int n, bool forgetting) { released.emplace_back(n, forgetting); });
    s.service.SetClosedRecordsKept(3);
    LoopbackClient first(s.port);  // connection 1 stays open throughout
    ASSERT_EQ(first.ReadUntil("\r\n"), "+OK Drennik here\r\n");
    for (int number = 2; number <= 6; ++number) {
        LoopbackClient client(s.port);
        ASSERT_EQ(client.ReadUntil("\r\n"), "+OK Drennik here\r\n");
        client.Close();
        ASSERT_TRUE(PumpUntil([&] { return !s.service.IsOpen(number); })) << number;
    }
    EXPECT_EQ(s.Entries(), QStringList({"0", "1", "4", "5", "6"}));
    EXPECT_EQ(accepted, std::vector<int>({1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(released, (std::vector<std::pair<int, bool>>{{2, true}, {3, true}}));
    EXPECT_FALSE(s.service.IsKept(3));
    EXPECT_EQ(s.service.Slot(2), nullptr);
    EXPECT_EQ(s.service.Fields(4).state, SessionState::Authorisation);
    EXPECT_EQ(s.service.Fields(4).socket, s.service.Slot(4)->socket);
}
