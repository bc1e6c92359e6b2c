#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/commands/command_test_support.h"

namespace qvx {

// How many threads wait for a record's lock (the critical section's count
// of waiters beyond its owner).
struct ServiceRecordTestPeer {
    static LONG LockWaiters(const ServiceRecord& record) { return record.lock_.LockCount; }
};

namespace {

using test::CommandHost;
using test::Profile;

constexpr int kClients = 10;
constexpr int kRounds = 6;

class ConcurrentCommands : public CommandHost {
protected:
    // With the table held exclusively no request is half-way: every record
    // has its key with its configuration, every key its record, and no name
    // is in the table twice.
    void ExpectTableMatchesRegistry()
    {
        TableLock exclusive(TableLockMode::Exclusive);
        std::set<std::wstring> inTable;
        for (size_t i = 0; const ServiceRecord* record = table_.GetAt(i); ++i) {
            const std::wstring name = record->GetName();
            EXPECT_TRUE(inTable.insert(name).second) << "twice in the table: " << WideToUtf8(name);
            EXPECT_EQ(StoredText(name, L"BinaryPath"), record->GetBinaryPath()) << WideToUtf8(name);
        }
        std::vector<std::wstring> stored = key_.SubkeyNames(L"Services");
        EXPECT_EQ(std::set<std::wstring>(stored.begin(), stored.end()), inTable);
    }
};

TEST_F(ConcurrentCommands, TenClientsLeaveTableAndRegistryInStep)
{
    test::RunningPipeServers servers(Dispatch, kClients, &runtime_);
    ASSERT_TRUE(servers.Started());
    std::atomic<int> unexpected{0};
    std::atomic<int> sharedCreated{0};
    std::atomic<int> sharedDeleted{0};

    auto client = [&](int id) {
        ControlConnection connection;
        if (connection.Open(servers.Name(), test::kIoTimeoutMs) != 0) {
            ++unexpected;
            return;
        }
        auto ask = [&](const std::wstring& request) {
            std::wstring reply;
            if (connection.Transact(request, reply, test::kIoTimeoutMs) != 0)
                reply = L"(no reply)";
            return reply;
        };
        const std::wstring own = L"client" + std::to_wstring(id);
        for (int round = 0; round < kRounds; ++round) {
            const std::wstring path = L"D:\\" + own + L"-" + std::to_wstring(round) + L".exe";
            // Every client races for the one shared name as well.
            const std::wstring created = ask(L"CREATE_SERVICE,shared," + Profile(L"shared"));
            if (created == L"ACK")
                ++sharedCreated;
            else if (created != L"SERVICE_ALREADY_EXISTS")
                ++unexpected;
            if (ask(L"CREATE_SERVICE," + own + L"," + Profile(own)) != L"ACK")
                ++unexpected;
            if (ask(L"CONFIG_SERVICE," + own + L",EMPTY," + path + L",EMPTY,LocalService") != L"ACK")
                ++unexpected;
            if (ask(L"QUERY_SERVICE_CONFIG," + own) !=
                L"QUERY_SERVICE_CONFIG,SERVICE_WIN32_OWN_PROCESS,SERVICE_START_NORMAL," + path + L",LocalService,EMPTY")
                ++unexpected;
            const std::wstring config2 = ask(L"CONFIG_SERVICE2," + Profile(L"shared", L"<BinaryPath>" + path + L"</BinaryPath>"));
            if (config2 != L"ACK" && config2 != L"SERVICE_NOT_FOUND")
                ++unexpected;
            if (ask(L"DELETE_SERVICE," + own) != L"ACK")
                ++unexpected;
            const std::wstring deleted = ask(L"DELETE_SERVICE,shared");
            if (deleted == L"ACK")
                ++sharedDeleted;
            else if (deleted != L"SERVICE_NOT_FOUND")
                ++unexpected;
        }
    };

    std::atomic<int> finished{0};
    std::vector<std::thread> clients;
    for (int id = 0; id < kClients; ++id) {
        clients.emplace_back([&, id] {
            client(id);
            ++finished;
        });
    }
    // Looks between requests while the clients run.
    for (int check = 0; finished.load() < kClients && check < 100; ++check)
        ExpectTableMatchesRegistry();
    for (auto& thread : clients)
        thread.join();

    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_GE(sharedCreated.load(), 1);
    EXPECT_EQ(sharedCreated.load() - sharedDeleted.load(), Find(L"shared") ? 1 : 0);
    ExpectTableMatchesRegistry();
    EXPECT_LE(table_.Count(SvhServiceType::kUnknown), 1u);
}

TEST_F(ConcurrentCommands, ConfigurationRefusedWhenAStartCameInBetween)
{
    Create(L"racing");
    Create(L"blocker"); // after "racing": looking "racing" up passes it by
    ServiceRecord* record = Find(L"racing");
    ServiceRecord* blocker = Find(L"blocker");
    const std::wstring binaryBefore = record->GetBinaryPath();
    std::wstring reply;
    // The configuration looks at the state, then checks the new dependency,
    // which waits for the blocker's lock; meanwhile a start comes in.
    blocker->Lock();
    std::thread configure([&] {
        ControlConnection connection;
        ASSERT_EQ(connection.Open(servers_.Name(), test::kIoTimeoutMs), 0u);
        EXPECT_EQ(connection.Transact(L"CONFIG_SERVICE,racing,EMPTY,C:\\svc\\changed.exe,blocker,EMPTY", reply,
                                      test::kIoTimeoutMs),
                  0u);
    });
    const ULONGLONG deadline = GetTickCount64() + test::kIoTimeoutMs;
    while (ServiceRecordTestPeer::LockWaiters(*blocker) <= 0 && GetTickCount64() < deadline)
        Sleep(1);
    EXPECT_GT(ServiceRecordTestPeer::LockWaiters(*blocker), 0) << "the configuration never waited";
    record->SetServiceState(ServiceState::kStartPending);
    blocker->Unlock();
    configure.join();

    EXPECT_EQ(reply, L"SERVICE_ALREADY_RUNNING");
    EXPECT_EQ(record->GetBinaryPath(), binaryBefore);
    EXPECT_TRUE(record->GetDependOnService().empty());
    EXPECT_EQ(StoredText(L"racing", L"BinaryPath"), binaryBefore);
}

} // namespace
} // namespace qvx
