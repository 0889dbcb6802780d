// The ceiling of cache hits under Wine: a Winsock program that answers every query on UDP port
// 53 with one fixed A record (198.19.0.9, TTL 86400), one datagram at a time on one thread:
// recvfrom, patch the query into the answer, sendto. What Quillforth.exe does for a hit beyond
// this is the cost of its cache, its threads and its window. It ends by itself after SECONDS.
//     winsock_responder.exe SECONDS
#include <winsock2.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kHeader = 12;

// The offset just past the only question of a query, or 0 when there is none to answer.
int QuestionEnd(const unsigned char* q, int length) {
    if (length < kHeader || (q[2] & 0xF8) != 0 || q[4] != 0 || q[5] != 1) {
        return 0;
    }
    int at = kHeader;
    while (at < length && q[at] != 0) {
        if ((q[at] & 0xC0) != 0) {
            return 0;  // a query's question is never compressed
        }
        at += q[at] + 1;
    }
    at += 1 + 4;  // the root label, QTYPE and QCLASS
    return at <= length ? at : 0;
}

// Turns the query in place into its answer: the question kept, any additional record replaced
// by the fixed A record, which points back at the question's name. Returns the answer's length.
int PatchAnswer(unsigned char* q, int question_end) {
    q[2] = static_cast<unsigned char>(0x80 | (q[2] & 0x01));  // QR, and RD as asked
    q[3] = 0x80;                                              // RA, NOERROR
    static const unsigned char kCounts[] = {0, 1, 0, 1, 0, 0, 0, 0};
    std::memcpy(q + 4, kCounts, sizeof kCounts);
    static const unsigned char kAnswer[] = {0xC0, 0x0C, 0, 1, 0,   1,  0, 1,
                                            0x51, 0x80, 0, 4, 198, 19, 0, 9};
    std::memcpy(q + question_end, kAnswer, sizeof kAnswer);
    return question_end + static_cast<int>(sizeof kAnswer);
}

SOCKET OpenSocket() {
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = ::htons(53);
    local.sin_addr.s_addr = ::htonl(INADDR_ANY);
    // The receive timeout lets the loop see its deadline when no query comes.
    const DWORD timeout_ms = 500;
    if (s == INVALID_SOCKET || ::bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout_ms),
                     sizeof timeout_ms) != 0) {
        std::fprintf(stderr, "winsock_responder: socket error %d\n", ::WSAGetLastError());
        std::exit(1);
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: winsock_responder SECONDS\n");
        return 2;
    }
    WSADATA wsa{};
    if (::WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        return 1;
    }
    const SOCKET s = OpenSocket();
    const ULONGLONG deadline = ::GetTickCount64() + 1000ULL * std::strtoul(argv[1], nullptr, 10);
    // Room for the fixed record after the largest query the buffer takes.
    unsigned char buffer[1514 + 16];
    while (::GetTickCount64() < deadline) {
        sockaddr_in client{};
        int client_length = sizeof client;
        const int got = ::recvfrom(s, reinterpret_cast<char*>(buffer), 1514, 0,
                                   reinterpret_cast<sockaddr*>(&client), &client_length);
        const int question_end = got > 0 ? QuestionEnd(buffer, got) : 0;
        if (question_end == 0) {
            continue;
        }
        const int length = PatchAnswer(buffer, question_end);
        ::sendto(s, reinterpret_cast<const char*>(buffer), length, 0,
                 reinterpret_cast<sockaddr*>(&client), client_length);
    }
    ::closesocket(s);
    ::WSACleanup();
    return 0;
}
