#include "tests/support/test_environment.h"

#include <cstdint>

#ifdef _WIN32
#include <winsock2.h>
#endif

#include <gtest/gtest.h>

#include "net/wsocket.h"

namespace qftest {

namespace {

std::uint16_t g_sinkPort = 0;

class NetworkEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
#ifdef _WIN32
        // Windows Sockets is the application's to start; here the test program is the application.
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &m_data), 0);
#endif
        m_sink.Create(true);
        m_sink.Bind(0, "127.0.0.1");
        g_sinkPort = m_sink.GetLocalPort();
    }

    void TearDown() override {
        m_sink.Close();
#ifdef _WIN32
        WSACleanup();
#endif
    }

private:
#ifdef _WIN32
    WSADATA m_data{};
#endif
    // Never read: what reaches it stays in its buffer until the program ends.
    CWSocket m_sink;
};

[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new NetworkEnvironment);

}  // namespace

std::uint16_t SinkPort() {
    return g_sinkPort;
}

}  // namespace qftest
