// The socket wrapper on loopback only: handle ownership, the Windows Sockets error numbers on
// both platforms, time-outs, releasing a call blocked on another thread. Plain traffic over UDP,
// TCP and IPv6 is what the proxy's tests and the end-to-end scripts carry.

#include "net/wsocket.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/attached_networks.h"

namespace {

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

// What one receive brings; a time-out of 0 waits for ever.
std::string ReceiveText(CWSocket& socket, std::uint32_t timeoutMs = 5000) {
    std::array<char, 256> buffer{};
    socket.SetReceiveTimeout(timeoutMs);
    return std::string(buffer.data(), socket.Receive(buffer.data(), buffer.size()));
}

TEST(CWSocket, TheHeldHandleIsClosedOnDestroyAttachMoveAndCreateButNotWhenDetached) {
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

    // Without a handle operations throw, and Close is harmless.
    target.Close();
    target.Close();
    EXPECT_EQ(ErrorOf([&] { target.Bind(0); }), socket_error::kNotSocket);
    EXPECT_EQ(ErrorOf([&] { ReceiveText(target); }), socket_error::kNotSocket);
    EXPECT_EQ(target.Detach(), kInvalidSocket);
}

TEST(CWSocket, DatagramsArriveWithTheirSenderAndOnlyOneTooLongForTheBufferFails) {
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

    const std::string big(2000, 'x');
    sender.SendTo(big.data(), big.size(), receiver.GetLocalPort(), kLoopback);
    sender.SendTo("next", 4, receiver.GetLocalPort(), kLoopback);
    CSocketAddress from;
    EXPECT_EQ(ErrorOf([&] { receiver.ReceiveFrom(buffer.data(), buffer.size(), from); }),
              socket_error::kMessageSize);
    EXPECT_EQ(ReceiveText(receiver), "next");

    // The time-out is in milliseconds.
    receiver.SetReceiveTimeout(300);
    const auto start = steady_clock::now();
    EXPECT_EQ(ErrorOf([&] { receiver.Receive(buffer.data(), buffer.size()); }),
              socket_error::kTimedOut);
    EXPECT_GE(steady_clock::now() - start, milliseconds(250));
    EXPECT_LE(steady_clock::now() - start, milliseconds(3000));
}

// The user always learns why, even where the system has no text for the number; an unknown
// number has none.
TEST(CWSocket, FailuresCarryTheirNumberAndAText) {
    CWSocket holder = BoundUdp();
    CWSocket second;
    second.Create(true);
    EXPECT_EQ(ErrorOf([&] { second.Bind(holder.GetLocalPort(), kLoopback); }),
              socket_error::kAddressInUse);
    for (const int known : {socket_error::kAddressInUse, socket_error::kHostNotFound}) {
        EXPECT_GT(CWSocketException(known).GetErrorMessage().size(), 5u) << known;
    }
    EXPECT_EQ(CWSocketException(123456).GetErrorMessage(), "");

    // A space and "!" make these invalid host names, which no lookup sends to a server.
    EXPECT_EQ(ErrorOf([&] { second.Bind(0, "not a host!"); }), socket_error::kInvalidArgument);
    EXPECT_EQ(ErrorOf([&] { second.SendTo("x", 1, 9, "not a host!"); }),
              socket_error::kHostNotFound);
}

// Starts `call` on a thread of its own and gives it time to block. The future gives the error the
// call ended with (-1: none); its destructor waits for the call.
template <typename Call>
std::future<int> Blocked(Call call) {
    std::future<int> done = std::async(std::launch::async, [call] { return ErrorOf(call); });
    std::this_thread::sleep_for(milliseconds(300));
    return done;
}

// The error a released call ended with; none while it is still blocked after `limit`.
std::optional<int> Released(std::future<int>& call, milliseconds limit = milliseconds(3000)) {
    if (call.wait_for(limit) != std::future_status::ready) {
        return std::nullopt;
    }
    return call.get();
}

// A receive blocked on a socket without time-out, alone or in a batch, is released by Close,
// and on Linux by Shutdown alone; the port is free afterwards.
TEST(CWSocketThreads, ShutdownOrCloseReleasesABlockedReceive) {
    for (const bool batch : {false, true}) {
        for (const bool shutdownFirst : {true, false}) {
            SCOPED_TRACE(batch ? "batch" : "one datagram");
            CWSocket socket = BoundUdp();
            const std::uint16_t port = socket.GetLocalPort();
            std::future<int> receiver = Blocked([&socket, batch] {
                std::array<std::uint8_t, 16> buffer{};
                Datagram datagram;
                datagram.Buffer = buffer;
                if (batch) {
                    socket.ReceiveBatch({&datagram, 1});
                } else {
                    ReceiveText(socket, 0);
                }
            });
            std::optional<int> result;
            if (shutdownFirst) {
                socket.Shutdown(SocketShutdown::kBoth);
                result = Released(receiver, milliseconds(1000));
                // Windows (and Wine) may keep the receive blocked after a shutdown.
#ifndef _WIN32
                EXPECT_TRUE(result) << "shutdown left the receive blocked";
#endif
            }
            socket.Close();
            if (!result) {
                result = Released(receiver);
            }
            if (!result) {
                BoundUdp().SendTo("!", 1, port, kLoopback);  // ends the receive nothing released
                FAIL() << "the receive stayed blocked";
            }
            EXPECT_NE(*result, -1) << "the receive returned a datagram";
#ifndef _WIN32
            EXPECT_EQ(*result, socket_error::kShutDown);
#endif
            EXPECT_TRUE(PortIsFree(port));
        }
    }
}

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
    EXPECT_EQ(ErrorOf([&] { ReceiveText(held.front(), 100); }), socket_error::kTimedOut);

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

TEST(CWSocketStream, CloseReleasesABlockedAcceptReceiveAndConnect) {
    CWSocket listener = Listening(0, 1);
    const std::uint16_t port = listener.GetLocalPort();
    StreamPair pair = Connected(listener);
    {
        std::future<int> accepting = Blocked([&] {
            CSocketAddress peer;
            listener.Accept(peer);
        });
        std::future<int> receiving = Blocked([&] { ReceiveText(pair.server, 0); });
        listener.Close();
        pair.server.Close();
        EXPECT_NE(Released(accepting).value_or(-1), -1) << "the accept stayed blocked or returned";
        EXPECT_NE(Released(receiving).value_or(-1), -1) << "the receive stayed blocked or returned";
    }
    EXPECT_EQ(ErrorOf([&] { Listening(port); }), -1);  // the listener let go of its port

    // A connect that would wait for ever on a full backlog.
    CWSocket full = Listening(0, 1);
    std::vector<CWSocket> held;
    ASSERT_EQ(ConnectUntilOneHangs(full, held, 200), socket_error::kTimedOut);
    CWSocket hanging;
    hanging.Create(false);
    std::future<int> connecting = Blocked([&] { hanging.Connect(full.GetLocalPort(), kLoopback); });
    hanging.Close();
    EXPECT_NE(Released(connecting).value_or(-1), -1) << "the connect stayed blocked or returned";
}

// What cannot go, or does not fit the buffer it arrives in, is left out of a batch; the rest
// gets through.
TEST(CWSocketBatch, DatagramsThatCannotGoOrDoNotFitAreLeftOutAndTheOthersArrive) {
    CWSocket receiver = BoundUdp();
    CWSocket sender = BoundUdp();
    receiver.SetReceiveTimeout(5000);
    const CSocketAddress to = receiver.GetLocalAddress();
    std::string one = "one";
    std::string tooLong(100, 'x');
    std::string three = "three";
    const auto bytes = [](std::string& text) {
        return std::span(reinterpret_cast<std::uint8_t*>(text.data()), text.size());
    };
    const std::array<Datagram, 4> outgoing{
        Datagram{bytes(one), one.size(), to, {}},
        Datagram{bytes(one), 99, to, {}},  // more than its buffer
        Datagram{bytes(tooLong), tooLong.size(), to, {}},
        Datagram{bytes(three), three.size(), to, {}}};
    EXPECT_EQ(sender.SendBatch(outgoing), 3u);
    EXPECT_EQ(ErrorOf([&] { sender.SendBatch(std::span(outgoing).subspan(1, 1)); }),
              socket_error::kBadAddress);

    std::array<std::array<std::uint8_t, 16>, 4> buffers{};
    std::array<Datagram, 4> incoming{};
    for (std::size_t i = 0; i < incoming.size(); ++i) {
        incoming[i].Buffer = buffers[i];
    }
    std::vector<std::string> received;
    // Where a batch is one datagram, the long one fails a call of its own.
    for (int call = 0; call < 3 && received.size() < 2; ++call) {
        const int error = ErrorOf([&] {
            const std::size_t count = receiver.ReceiveBatch(incoming);
            for (std::size_t i = 0; i < count; ++i) {
                received.emplace_back(reinterpret_cast<const char*>(incoming[i].Buffer.data()),
                                      incoming[i].Length);
                EXPECT_EQ(incoming[i].Peer, sender.GetLocalAddress());
            }
        });
        EXPECT_TRUE(error == -1 || error == socket_error::kMessageSize) << error;
    }
    EXPECT_EQ(received, (std::vector<std::string>{"one", "three"}));
}

// Wine takes WSASendMsg's IP_PKTINFO without acting on it: its reply leaves as routed.
bool SendsFromTheAddressGiven() {
#ifdef _WIN32
    return ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") == nullptr;
#else
    return true;
#endif
}

// A socket on every address that is told the address each datagram came to replies from it, so
// that a client that asked a second address of the machine takes the reply; once it is no longer
// told, a reply leaves as the routing chooses.
TEST(CWSocketBatch, AReplyLeavesFromTheAddressItsQueryCameTo) {
    CWSocket server;
    server.Create(true);
    server.Bind(0);
    const std::uint16_t port = server.GetLocalPort();
    server.SetReceiveTimeout(5000);
    CWSocket client = BoundUdp();
    client.SetReceiveTimeout(5000);
    const CSocketAddress second = *CSocketAddress::FromText("127.0.0.2", port);
    std::array<std::uint8_t, 16> buffer{};
    std::array<Datagram, 1> incoming{};
    incoming[0].Buffer = buffer;
    for (const bool told : {true, false}) {
        server.ReceiveLocalAddresses(told);
        incoming[0].Local = {};
        ASSERT_EQ(client.SendTo("q", 1, second), 1u);
        ASSERT_EQ(server.ReceiveBatch(incoming), 1u);
        EXPECT_EQ(incoming[0].Local.AddressText(), told ? "127.0.0.2" : "") << told;
        EXPECT_EQ(server.SendBatch(incoming), 1u);
        CSocketAddress from;
        ASSERT_EQ(client.ReceiveFrom(buffer.data(), buffer.size(), from), 1u);
        if (!told || SendsFromTheAddressGiven()) {
            EXPECT_EQ(from.AddressText(), told ? "127.0.0.2" : "127.0.0.1") << told;
        }
    }
}

// The filter of the proxy's clients starts from this list: loopback is always in it, with the
// length of its network.
TEST(InterfaceAddresses, IncludeLoopbackWithItsPrefixLength) {
    const std::vector<InterfaceAddress> addresses = InterfaceAddresses();
    EXPECT_TRUE(std::ranges::any_of(addresses, [](const InterfaceAddress& entry) {
        return entry.Address == CSocketAddress::Loopback(AddressFamily::kIpv4, 0) &&
               entry.PrefixLength == 8;
    }));
}

}  // namespace
