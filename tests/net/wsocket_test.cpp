// The socket wrapper on loopback only: handle ownership, the Windows Sockets error numbers on
// both platforms, and releasing a call blocked on another thread.

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
#include <vector>

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
#endif

using std::chrono::milliseconds;
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

CWSocket BoundUdp() {
    CWSocket socket;
    socket.Create(true);
    socket.Bind(0, kLoopback);
    return socket;
}

// True when a fresh socket can take the port, i.e. no open socket holds it.
bool PortIsFree(std::uint16_t port) {
    CWSocket probe;
    probe.Create(true);
    return ErrorOf([&] { probe.Bind(port, kLoopback); }) == -1;
}

// The next datagram or stream bytes as text.
std::string ReceiveText(CWSocket& socket) {
    std::array<char, 256> buffer{};
    socket.SetReceiveTimeout(5000);
    const std::size_t length = socket.Receive(buffer.data(), buffer.size());
    return std::string(buffer.data(), length);
}

TEST(CWSocketOwnership, TheHeldHandleIsClosedOnDestroyAttachMoveAndCreateButNotWhenDetached) {
    std::uint16_t port = 0;
    {
        CWSocket socket = BoundUdp();
        port = socket.GetLocalPort();
        EXPECT_FALSE(PortIsFree(port));
    }
    EXPECT_TRUE(PortIsFree(port));

    CWSocket detached = BoundUdp();
    port = detached.GetLocalPort();
    CWSocket adopted;
    adopted.Attach(detached.Detach());
    EXPECT_FALSE(detached.IsCreated());
    adopted.Attach(adopted.GetHandle());  // the same handle stays open
    CWSocket sender = BoundUdp();
    ASSERT_EQ(sender.SendTo("open", 4, port, kLoopback), 4u);
    EXPECT_EQ(ReceiveText(adopted), "open");

    adopted.Attach(sender.Detach());
    EXPECT_TRUE(PortIsFree(port));
    port = adopted.GetLocalPort();
    CWSocket moved(std::move(adopted));
    EXPECT_FALSE(adopted.IsCreated());  // NOLINT(bugprone-use-after-move): moved-from is empty
    EXPECT_EQ(moved.GetLocalPort(), port);
    CWSocket target = BoundUdp();
    const std::uint16_t targetPort = target.GetLocalPort();
    target = std::move(moved);
    EXPECT_TRUE(PortIsFree(targetPort));
    target.Create(true);
    EXPECT_TRUE(PortIsFree(port));
}

TEST(CWSocketOwnership, WithoutAHandleOperationsThrowNotSocketAndCloseIsHarmless) {
    CWSocket socket;
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

TEST(CWSocketTransfer, DatagramsOfAnySizeUpToTheBufferArriveWithTheirSender) {
    CWSocket receiver = BoundUdp();
    CWSocket sender = BoundUdp();
    receiver.SetReceiveTimeout(5000);
    const std::array<unsigned char, 5> query{0x12, 0x34, 0x00, 0xFF, 0x80};
    std::array<unsigned char, 1514> buffer{};
    std::string address;
    std::uint16_t port = 0;
    for (const std::size_t length : {query.size(), std::size_t{0}}) {
        EXPECT_EQ(sender.SendTo(query.data(), length, receiver.GetLocalPort(), "localhost"),
                  length);
        ASSERT_EQ(receiver.ReceiveFrom(buffer.data(), buffer.size(), address, port), length);
        EXPECT_EQ(std::memcmp(buffer.data(), query.data(), length), 0);
        EXPECT_EQ(address, "127.0.0.1");
        EXPECT_EQ(port, sender.GetLocalPort());
    }

    // One too long for the buffer fails alone; the next arrives whole.
    const std::string big(2000, 'x');
    sender.SendTo(big.data(), big.size(), receiver.GetLocalPort(), kLoopback);
    sender.SendTo("next", 4, receiver.GetLocalPort(), kLoopback);
    EXPECT_EQ(ErrorOf([&] { receiver.ReceiveFrom(buffer.data(), buffer.size(), address, port); }),
              socket_error::kMessageSize);
    EXPECT_EQ(ReceiveText(receiver), "next");
}

TEST(CWSocketTransfer, ReceivesTimeOutAndShutDownDirectionsFail) {
    CWSocket socket = BoundUdp();
    socket.SetReceiveTimeout(500);
    std::array<char, 16> buffer{};
    const auto start = steady_clock::now();
    EXPECT_EQ(ErrorOf([&] { socket.Receive(buffer.data(), buffer.size()); }),
              socket_error::kTimedOut);
    const auto waited = steady_clock::now() - start;
    EXPECT_GE(waited, milliseconds(400));
    EXPECT_LE(waited, milliseconds(3000));

    socket.Shutdown(SocketShutdown::kSend);
    EXPECT_EQ(ErrorOf([&] { socket.SendTo("x", 1, socket.GetLocalPort(), kLoopback); }),
              socket_error::kShutDown);
    socket.Shutdown(SocketShutdown::kReceive);
    EXPECT_EQ(ErrorOf([&] { socket.Receive(buffer.data(), buffer.size()); }),
              socket_error::kShutDown);
}

TEST(CWSocketErrors, ATakenPortThrowsAddressInUseWithAText) {
    CWSocket holder = BoundUdp();
    CWSocket second;
    second.Create(true);
    try {
        second.Bind(holder.GetLocalPort(), kLoopback);
        FAIL() << "the second bind succeeded";
    } catch (const CWSocketException& e) {
        EXPECT_EQ(e.GetError(), socket_error::kAddressInUse);
        std::array<char, 512> text{};
        unsigned helpContext = 7;
        // The user always learns why, even where the system has no text for the number.
        EXPECT_TRUE(e.GetErrorMessage(text.data(), text.size(), &helpContext));
        EXPECT_EQ(helpContext, 0u);
        EXPECT_EQ(std::string(text.data()), e.GetErrorMessage());
        EXPECT_GT(std::strlen(text.data()), 5u);
    }
}

TEST(CWSocketErrors, ErrorMessagesFitTheBufferAndUnknownNumbersHaveNone) {
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

TEST(CWSocketErrors, BadAddressesAndOptionsFailWithTheirNumbers) {
    CWSocket socket = BoundUdp();
    // A space and "!" make these invalid host names, which no lookup sends to a server.
    EXPECT_EQ(ErrorOf([&] { socket.Bind(0, "not a host!"); }), socket_error::kInvalidArgument);
    EXPECT_EQ(ErrorOf([&] { socket.Bind(0, ""); }), socket_error::kInvalidArgument);
    EXPECT_EQ(ErrorOf([&] { socket.SendTo("x", 1, 9, "not a host!"); }),
              socket_error::kHostNotFound);
    EXPECT_EQ(ErrorOf([&] { socket.SendTo("x", 1, 9, ""); }), socket_error::kHostNotFound);

    const std::uint16_t twoBytes = 3000;
    EXPECT_EQ(ErrorOf([&] {
                  socket.SetSockOpt(socket_option::kReceiveTimeout, &twoBytes, sizeof twoBytes);
              }),
              socket_error::kBadAddress);
    const std::uint32_t on = 1;
    EXPECT_EQ(ErrorOf([&] { socket.SetSockOpt(0x7F00, &on, sizeof on); }),
              socket_error::kNoProtocolOption);
    EXPECT_EQ(ErrorOf([&] { socket.SetSockOpt(socket_option::kBroadcast, &on, sizeof on); }), -1);
    EXPECT_EQ(ErrorOf([&] { socket.DisableConnectionResetReports(); }), -1);
}

// Runs `call` on its own thread, long enough to be blocked in it when the constructor returns;
// WaitFor gives the error it ended with (-1: none).
class BlockedCall {
public:
    template <typename Call>
    explicit BlockedCall(Call call)
        : m_thread([this, call] { m_result.set_value(ErrorOf(call)); }) {
        std::this_thread::sleep_for(milliseconds(300));
    }
    BlockedCall(const BlockedCall&) = delete;
    BlockedCall& operator=(const BlockedCall&) = delete;
    ~BlockedCall() { m_thread.join(); }

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

// A receive blocked on a socket without time-out is released by Close, and on Linux by
// Shutdown alone; the port is free afterwards.
TEST(CWSocketThreads, ShutdownOrCloseReleasesABlockedReceive) {
    for (const bool shutdownFirst : {true, false}) {
        CWSocket socket = BoundUdp();
        const std::uint16_t port = socket.GetLocalPort();
        BlockedCall receiver([&socket] {
            std::array<char, 64> buffer{};
            std::string address;
            std::uint16_t from = 0;
            socket.ReceiveFrom(buffer.data(), buffer.size(), address, from);
        });
        std::optional<int> result;
        if (shutdownFirst) {
            socket.Shutdown(SocketShutdown::kBoth);
            result = receiver.WaitFor(milliseconds(1000));
            // Windows (and Wine) may keep the receive blocked after a shutdown; Close releases it.
#ifndef _WIN32
            EXPECT_TRUE(result) << "shutdown left the receive blocked";
#endif
        }
        socket.Close();
        if (!result) {
            result = receiver.WaitFor(milliseconds(3000));
        }
        if (!result) {
            // Ends the receive that nothing else released.
            BoundUdp().SendTo("!", 1, port, kLoopback);
            FAIL() << "the receive stayed blocked";
        }
        EXPECT_NE(*result, -1) << "the receive returned a datagram";
#ifndef _WIN32
        EXPECT_EQ(*result, socket_error::kShutDown);
#endif
        EXPECT_TRUE(PortIsFree(port));
    }
}

// --- Stream sockets -------------------------------------------------------------------------

CWSocket Listening(std::uint16_t port = 0, int backlog = kMaxListenBacklog) {
    CWSocket socket;
    socket.Create(false);
    socket.AllowListenerRebind();
    socket.Bind(port, kLoopback);
    socket.Listen(backlog);
    return socket;
}

// A connected pair over loopback: the client's socket and the one the listener accepted.
struct StreamPair {
    CWSocket client;
    CWSocket server;
};

StreamPair Connected(CWSocket& listener) {
    StreamPair pair;
    pair.client.Create(false);
    pair.client.Connect(listener.GetLocalPort(), kLoopback, 5000);
    std::string address;
    std::uint16_t port = 0;
    pair.server = listener.Accept(address, port);
    EXPECT_EQ(address, kLoopback);
    EXPECT_EQ(port, pair.client.GetLocalPort());
    return pair;
}

TEST(CWSocketStream, ConnectAcceptSendAndReceiveUntilThePeerCloses) {
    CWSocket listener = Listening();
    StreamPair pair = Connected(listener);

    // A send larger than one segment arrives whole, in however many pieces.
    const std::string big(200000, 'q');
    std::thread sender([&] { EXPECT_EQ(pair.client.Send(big.data(), big.size()), big.size()); });
    std::string received;
    std::array<char, 4096> buffer{};
    pair.server.SetReceiveTimeout(5000);
    while (received.size() < big.size()) {
        const std::size_t part = pair.server.Receive(buffer.data(), buffer.size());
        ASSERT_NE(part, 0u);
        received.append(buffer.data(), part);
    }
    sender.join();
    EXPECT_EQ(received, big);

    ASSERT_EQ(pair.server.Send("back", 4), 4u);
    EXPECT_EQ(ReceiveText(pair.client), "back");

    // The peer's close reads as 0 bytes, not as a failure.
    pair.client.Close();
    EXPECT_EQ(pair.server.Receive(buffer.data(), buffer.size()), 0u);

    // Bound but not listening: connections to the port are refused.
    CWSocket bound;
    bound.Create(false);
    bound.Bind(0, kLoopback);
    CWSocket refused;
    refused.Create(false);
    EXPECT_EQ(ErrorOf([&] { refused.Connect(bound.GetLocalPort(), kLoopback, 3000); }),
              socket_error::kConnectionRefused);
}

// Fills the listener's backlog (it never accepts) until a connect to it hangs; the sockets that
// got in are kept in `held`. The connect that hung used `timeoutMs`; its error is returned.
int ConnectUntilOneHangs(CWSocket& listener, std::vector<CWSocket>& held, std::uint32_t timeoutMs) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        CWSocket client;
        client.Create(false);
        const int error =
            ErrorOf([&] { client.Connect(listener.GetLocalPort(), kLoopback, timeoutMs); });
        if (error != -1) {
            return error;
        }
        held.push_back(std::move(client));
    }
    return -1;
}

TEST(CWSocketStream, ConnectsAndSendsThatGetNoAnswerTimeOut) {
    CWSocket listener = Listening(0, 1);
    std::vector<CWSocket> held;
    const auto start = steady_clock::now();
    ASSERT_EQ(ConnectUntilOneHangs(listener, held, 300), socket_error::kTimedOut);
    const auto waited = steady_clock::now() - start;
    EXPECT_GE(waited, milliseconds(250));
    EXPECT_LT(waited, milliseconds(3000));

    // The socket is blocking again after the wait: a receive on a connected one waits.
    ASSERT_FALSE(held.empty());
    held.front().SetReceiveTimeout(100);
    std::array<char, 4> buffer{};
    EXPECT_EQ(ErrorOf([&] { held.front().Receive(buffer.data(), buffer.size()); }),
              socket_error::kTimedOut);

    // A peer that reads nothing: the send runs into its time-out. Bounded: the loopback buffers
    // hold a few megabytes at most.
    CWSocket other = Listening();
    StreamPair pair = Connected(other);
    const std::uint32_t sendTimeoutMs = 300;
    pair.client.SetSockOpt(socket_option::kSendTimeout, &sendTimeoutMs, sizeof sendTimeoutMs);
    const std::string chunk(65536, 's');
    int error = -1;
    for (int i = 0; i < 2000 && error == -1; ++i) {
        error = ErrorOf([&] { pair.client.Send(chunk.data(), chunk.size()); });
    }
    EXPECT_EQ(error, socket_error::kTimedOut);
}

TEST(CWSocketStream, AListenerCanBindAgainWhileItsClosedConnectionsWaitOut) {
    std::uint16_t port = 0;
    {
        CWSocket listener = Listening();
        port = listener.GetLocalPort();
        StreamPair pair = Connected(listener);
        // The server side closes first, so its end of the connection waits out its close.
        pair.server.Close();
        EXPECT_EQ(ReceiveText(pair.client), "");
    }
    CWSocket again = Listening(port);
    EXPECT_EQ(again.GetLocalPort(), port);

    // A second listener on a port in use still fails.
    CWSocket rival;
    rival.Create(false);
    rival.AllowListenerRebind();
    EXPECT_EQ(ErrorOf([&] { rival.Bind(port, kLoopback); }), socket_error::kAddressInUse);
}

TEST(CWSocketStream, CloseReleasesABlockedAcceptReceiveAndConnect) {
    CWSocket listener = Listening(0, 1);
    const std::uint16_t port = listener.GetLocalPort();
    StreamPair pair = Connected(listener);
    {
        BlockedCall accepting([&] {
            std::string address;
            std::uint16_t from = 0;
            listener.Accept(address, from);
        });
        BlockedCall receiving([&] {
            std::array<char, 8> buffer{};
            pair.server.Receive(buffer.data(), buffer.size());
        });
        listener.Close();
        pair.server.Close();
        const std::optional<int> accepted = accepting.WaitFor(milliseconds(3000));
        const std::optional<int> received = receiving.WaitFor(milliseconds(3000));
        ASSERT_TRUE(accepted) << "the accept stayed blocked";
        ASSERT_TRUE(received) << "the receive stayed blocked";
        EXPECT_NE(*accepted, -1);
        EXPECT_NE(*received, -1);
    }
    // The listener let go of its port.
    EXPECT_EQ(ErrorOf([&] { Listening(port); }), -1);

    // A connect that would wait for ever on a full backlog.
    CWSocket full = Listening(0, 1);
    std::vector<CWSocket> held;
    ASSERT_EQ(ConnectUntilOneHangs(full, held, 200), socket_error::kTimedOut);
    CWSocket hanging;
    hanging.Create(false);
    BlockedCall connecting([&] { hanging.Connect(full.GetLocalPort(), kLoopback); });
    hanging.Close();
    const std::optional<int> connected = connecting.WaitFor(milliseconds(3000));
    ASSERT_TRUE(connected) << "the connect stayed blocked";
    EXPECT_NE(*connected, -1);
}

}  // namespace
