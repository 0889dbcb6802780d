// The socket wrapper on loopback only: handle ownership, the Windows Sockets error numbers on
// both platforms, and releasing a receive blocked on another thread.

#include "net/wsocket.h"

#ifdef _WIN32
#include <winsock2.h>
#endif

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <future>
#include <optional>
#include <string>
#include <thread>

namespace {

#ifdef _WIN32
// Windows Sockets is the application's to start; here the test program is the application.
class WinsockEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &m_data), 0); }
    void TearDown() override { WSACleanup(); }

private:
    WSADATA m_data{};
};

[[maybe_unused]] ::testing::Environment* const g_winsock =
    ::testing::AddGlobalTestEnvironment(new WinsockEnvironment);

// Wine's message table has no texts for most Windows Sockets numbers.
bool RunningUnderWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
#else
bool RunningUnderWine() {
    return false;
}
#endif

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

constexpr const char* kLoopback = "127.0.0.1";

// The error number of the CWSocketException that `action` throws, or -1 when it throws none.
template <typename Action>
int ErrorOf(Action&& action) {
    try {
        action();
    } catch (const CWSocketException& e) {
        return e.GetError();
    }
    return -1;
}

CWSocket BoundUdp(std::uint16_t port = 0) {
    CWSocket socket;
    socket.Create(true);
    socket.Bind(port, kLoopback);
    return socket;
}

// True when a fresh socket can take the port, i.e. no open socket holds it.
bool PortIsFree(std::uint16_t port) {
    CWSocket probe;
    probe.Create(true);
    return ErrorOf([&] { probe.Bind(port, kLoopback); }) == -1;
}

void SendText(CWSocket& from, const std::string& text, std::uint16_t port) {
    ASSERT_EQ(from.SendTo(text.data(), text.size(), port, kLoopback), text.size());
}

std::string ReceiveText(CWSocket& socket) {
    std::array<char, 256> buffer{};
    socket.SetReceiveTimeout(5000);
    const std::size_t length = socket.Receive(buffer.data(), buffer.size());
    return std::string(buffer.data(), length);
}

TEST(CWSocketOwnership, DestroyingClosesTheHandleButDetachingKeepsItOpen) {
    std::uint16_t port = 0;
    {
        CWSocket socket = BoundUdp();
        port = socket.GetLocalPort();
        ASSERT_NE(port, 0);
        EXPECT_FALSE(PortIsFree(port));
    }
    EXPECT_TRUE(PortIsFree(port));

    SocketHandle handle = kInvalidSocket;
    {
        CWSocket socket = BoundUdp();
        port = socket.GetLocalPort();
        handle = socket.Detach();
        EXPECT_FALSE(socket.IsCreated());
    }
    ASSERT_NE(handle, kInvalidSocket);
    EXPECT_FALSE(PortIsFree(port));
    CWSocket adopted;
    adopted.Attach(handle);
    CWSocket sender = BoundUdp();
    SendText(sender, "still open", port);
    EXPECT_EQ(ReceiveText(adopted), "still open");
}

TEST(CWSocketOwnership, AttachClosesTheHeldHandleUnlessItIsTheSameOne) {
    CWSocket first = BoundUdp();
    CWSocket second = BoundUdp();
    const std::uint16_t first_port = first.GetLocalPort();
    const std::uint16_t second_port = second.GetLocalPort();

    first.Attach(first.GetHandle());
    EXPECT_FALSE(PortIsFree(first_port));

    first.Attach(second.Detach());
    EXPECT_TRUE(PortIsFree(first_port));
    EXPECT_EQ(first.GetLocalPort(), second_port);

    // Creating again replaces the handle the same way.
    first.Create(true);
    EXPECT_TRUE(PortIsFree(second_port));
}

TEST(CWSocketOwnership, MovingHandsTheHandleOver) {
    CWSocket source = BoundUdp();
    const std::uint16_t port = source.GetLocalPort();
    CWSocket target(std::move(source));
    EXPECT_FALSE(source.IsCreated());  // NOLINT(bugprone-use-after-move): moved-from is empty
    EXPECT_EQ(target.GetLocalPort(), port);

    CWSocket other = BoundUdp();
    const std::uint16_t other_port = other.GetLocalPort();
    other = std::move(target);
    EXPECT_TRUE(PortIsFree(other_port));
    EXPECT_FALSE(PortIsFree(port));
}

TEST(CWSocketOwnership, WithoutAHandleOperationsThrowNotSocketAndCloseIsHarmless) {
    CWSocket socket;
    EXPECT_FALSE(socket.IsCreated());
    EXPECT_EQ(socket.GetHandle(), kInvalidSocket);
    std::array<char, 8> buffer{};
    std::string address;
    std::uint16_t port = 0;
    EXPECT_EQ(ErrorOf([&] { socket.Bind(0); }), socket_error::kNotSocket);
    EXPECT_EQ(ErrorOf([&] { socket.SetReceiveTimeout(10); }), socket_error::kNotSocket);
    EXPECT_EQ(ErrorOf([&] { socket.SendTo(buffer.data(), 1, 9, kLoopback); }),
              socket_error::kNotSocket);
    EXPECT_EQ(ErrorOf([&] { socket.ReceiveFrom(buffer.data(), buffer.size(), address, port); }),
              socket_error::kNotSocket);
    EXPECT_EQ(ErrorOf([&] { socket.Shutdown(SocketShutdown::kBoth); }), socket_error::kNotSocket);
    socket.Close();
    socket.Close();
    EXPECT_EQ(socket.Detach(), kInvalidSocket);
}

TEST(CWSocketTransfer, LoopbackRoundTripReportsTheSender) {
    CWSocket receiver = BoundUdp();
    CWSocket sender = BoundUdp();
    receiver.SetReceiveTimeout(5000);

    const std::array<unsigned char, 5> query{0x12, 0x34, 0x00, 0xFF, 0x80};
    EXPECT_EQ(sender.SendTo(query.data(), query.size(), receiver.GetLocalPort(), "localhost"),
              query.size());
    std::array<unsigned char, 1514> buffer{};
    std::string address;
    std::uint16_t port = 0;
    ASSERT_EQ(receiver.ReceiveFrom(buffer.data(), buffer.size(), address, port), query.size());
    EXPECT_EQ(std::memcmp(buffer.data(), query.data(), query.size()), 0);
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_EQ(port, sender.GetLocalPort());

    // The reply goes back to the reported sender.
    receiver.SendTo(buffer.data(), 2, port, address);
    EXPECT_EQ(ReceiveText(sender), std::string("\x12\x34"));
}

TEST(CWSocketTransfer, AnEmptyDatagramIsReceivedAsZeroBytes) {
    CWSocket receiver = BoundUdp();
    CWSocket sender = BoundUdp();
    receiver.SetReceiveTimeout(5000);
    EXPECT_EQ(sender.SendTo("", 0, receiver.GetLocalPort(), kLoopback), 0u);
    std::array<char, 16> buffer{};
    std::string address;
    std::uint16_t port = 0;
    EXPECT_EQ(receiver.ReceiveFrom(buffer.data(), buffer.size(), address, port), 0u);
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_EQ(port, sender.GetLocalPort());
}

TEST(CWSocketTransfer, AnOversizedDatagramThrowsMessageSizeAndTheNextArrivesWhole) {
    CWSocket receiver = BoundUdp();
    CWSocket sender = BoundUdp();
    receiver.SetReceiveTimeout(5000);
    const std::string big(2000, 'x');
    SendText(sender, big, receiver.GetLocalPort());
    SendText(sender, "next", receiver.GetLocalPort());

    std::array<char, 1514> buffer{};
    std::string address;
    std::uint16_t port = 0;
    EXPECT_EQ(ErrorOf([&] { receiver.ReceiveFrom(buffer.data(), buffer.size(), address, port); }),
              socket_error::kMessageSize);
    ASSERT_EQ(receiver.ReceiveFrom(buffer.data(), buffer.size(), address, port), 4u);
    EXPECT_EQ(std::string(buffer.data(), 4), "next");
}

TEST(CWSocketTransfer, ReceiveTimesOutAfterItsTimeout) {
    CWSocket socket = BoundUdp();
    socket.SetReceiveTimeout(3000);
    std::array<char, 16> buffer{};
    const auto start = steady_clock::now();
    EXPECT_EQ(ErrorOf([&] { socket.Receive(buffer.data(), buffer.size()); }),
              socket_error::kTimedOut);
    const auto waited = steady_clock::now() - start;
    EXPECT_GE(waited, milliseconds(2500));
    EXPECT_LE(waited, milliseconds(6000));
}

TEST(CWSocketTransfer, ShutDownDirectionsFailWithShutDown) {
    CWSocket socket = BoundUdp();
    CWSocket peer = BoundUdp();

    socket.Shutdown(SocketShutdown::kSend);
    EXPECT_EQ(ErrorOf([&] { socket.SendTo("x", 1, peer.GetLocalPort(), kLoopback); }),
              socket_error::kShutDown);

    socket.Shutdown(SocketShutdown::kReceive);
    std::array<char, 16> buffer{};
    EXPECT_EQ(ErrorOf([&] { socket.Receive(buffer.data(), buffer.size()); }),
              socket_error::kShutDown);
}

TEST(CWSocketErrors, BindingATakenPortThrowsAddressInUseWithItsText) {
    CWSocket holder = BoundUdp();
    CWSocket second;
    second.Create(true);
    try {
        second.Bind(holder.GetLocalPort(), kLoopback);
        FAIL() << "the second bind succeeded";
    } catch (const CWSocketException& e) {
        EXPECT_EQ(e.GetError(), socket_error::kAddressInUse);
        EXPECT_STREQ(e.what(), "CWSocketException");

        std::array<char, 512> text{};
        unsigned help_context = 7;
        const bool found = e.GetErrorMessage(text.data(), text.size(), &help_context);
        EXPECT_EQ(help_context, 0u);
        EXPECT_EQ(std::string(text.data()), e.GetErrorMessage());
        if (RunningUnderWine()) {
            EXPECT_FALSE(found);
            EXPECT_EQ(text[0], '\0');
        } else {
            EXPECT_TRUE(found);
            EXPECT_GT(std::strlen(text.data()), 5u);
        }
    }
}

TEST(CWSocketErrors, ErrorMessagesFitTheBufferAndUnknownNumbersHaveNone) {
    // A number that every system, Wine included, has a text for.
    const CWSocketException known(socket_error::kHostNotFound);
    const std::string full = known.GetErrorMessage();
    ASSERT_GT(full.size(), 4u);

    std::array<char, 5> small{};
    small.fill('#');
    EXPECT_TRUE(known.GetErrorMessage(small.data(), small.size()));
    EXPECT_EQ(std::string(small.data()), full.substr(0, 4));
    EXPECT_FALSE(known.GetErrorMessage(small.data(), 0));

    const CWSocketException unknown(123456);
    small.fill('#');
    EXPECT_FALSE(unknown.GetErrorMessage(small.data(), small.size()));
    EXPECT_EQ(small[0], '\0');
    EXPECT_EQ(unknown.GetErrorMessage(), "");
}

TEST(CWSocketErrors, UnresolvableAddressesFailBindAndSend) {
    CWSocket socket;
    socket.Create(true);
    // A space and "!" make these invalid host names, which no lookup sends to a server.
    EXPECT_EQ(ErrorOf([&] { socket.Bind(0, "not a host!"); }), socket_error::kInvalidArgument);
    EXPECT_EQ(ErrorOf([&] { socket.Bind(0, ""); }), socket_error::kInvalidArgument);
    EXPECT_EQ(ErrorOf([&] { socket.SendTo("x", 1, 9, "not a host!"); }),
              socket_error::kHostNotFound);
    EXPECT_EQ(ErrorOf([&] { socket.SendTo("x", 1, 9, ""); }), socket_error::kHostNotFound);
}

TEST(CWSocketErrors, OptionsTakeFourByteValues) {
    CWSocket socket = BoundUdp();
    const std::uint16_t two_bytes = 3000;
    EXPECT_EQ(ErrorOf([&] {
                  socket.SetSockOpt(socket_option::kReceiveTimeout, &two_bytes, sizeof two_bytes);
              }),
              socket_error::kBadAddress);
    const std::uint32_t on = 1;
    EXPECT_EQ(ErrorOf([&] { socket.SetSockOpt(0x7F00, &on, sizeof on); }),
              socket_error::kNoProtocolOption);
    EXPECT_EQ(ErrorOf([&] { socket.SetSockOpt(socket_option::kBroadcast, &on, sizeof on); }), -1);
    EXPECT_EQ(ErrorOf([&] { socket.DisableConnectionResetReports(); }), -1);
}

// Runs ReceiveFrom on its own thread; the future holds the error it ended with (-1: a datagram).
class BlockedReceiver {
public:
    explicit BlockedReceiver(CWSocket& socket)
        : m_thread([this, &socket] {
              std::array<char, 64> buffer{};
              std::string address;
              std::uint16_t port = 0;
              m_result.set_value(ErrorOf(
                  [&] { socket.ReceiveFrom(buffer.data(), buffer.size(), address, port); }));
          }) {
        // Long enough for the thread to be inside the receive.
        std::this_thread::sleep_for(milliseconds(300));
    }
    BlockedReceiver(const BlockedReceiver&) = delete;
    BlockedReceiver& operator=(const BlockedReceiver&) = delete;
    ~BlockedReceiver() { m_thread.join(); }

    // The error within `limit`, or none when the receive is still blocked.
    std::optional<int> WaitFor(milliseconds limit) {
        if (m_done.wait_for(limit) != std::future_status::ready) {
            return std::nullopt;
        }
        return m_done.get();
    }

private:
    std::promise<int> m_result;
    std::future<int> m_done = m_result.get_future();
    std::thread m_thread;
};

// Sends one datagram to `port` so that a receive that nothing else released ends.
void Nudge(std::uint16_t port) {
    CWSocket nudge = BoundUdp();
    nudge.SendTo("!", 1, port, kLoopback);
}

TEST(CWSocketThreads, ShutdownOrCloseReleasesABlockedReceive) {
    CWSocket socket = BoundUdp();
    const std::uint16_t port = socket.GetLocalPort();
    BlockedReceiver receiver(socket);

    socket.Shutdown(SocketShutdown::kBoth);
    std::optional<int> result = receiver.WaitFor(milliseconds(1000));
#ifdef _WIN32
    // Windows (and Wine) may keep the receive blocked after a shutdown; closing releases it.
    if (!result) {
        socket.Close();
        result = receiver.WaitFor(milliseconds(3000));
    }
#endif
    if (!result) {
        Nudge(port);
        FAIL() << "the receive stayed blocked";
    }
    EXPECT_NE(*result, -1) << "the receive returned a datagram";
#ifndef _WIN32
    EXPECT_EQ(*result, socket_error::kShutDown);
#endif
    socket.Close();
    EXPECT_TRUE(PortIsFree(port));
}

TEST(CWSocketThreads, CloseAloneReleasesABlockedReceiveAndFreesThePort) {
    CWSocket socket = BoundUdp();
    const std::uint16_t port = socket.GetLocalPort();
    BlockedReceiver receiver(socket);

    socket.Close();
    const std::optional<int> result = receiver.WaitFor(milliseconds(3000));
    if (!result) {
        Nudge(port);
        FAIL() << "the receive stayed blocked";
    }
    EXPECT_NE(*result, -1) << "the receive returned a datagram";
#ifndef _WIN32
    EXPECT_EQ(*result, socket_error::kShutDown);
#endif
    EXPECT_TRUE(PortIsFree(port));
}

}  // namespace
