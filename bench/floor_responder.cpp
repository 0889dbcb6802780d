// The floor of the cache-hit benchmark: answers the A questions for host%05d.bench.test with
// the address the benchmark's zone gives host N (198.19.N/256.N%256, TTL 86400), computed instead
// of looked up. One thread takes one datagram at a time: recvfrom,
// patch the query into the answer, sendto. No cache, no lock, no allocation: its CPU time per
// answer is what the system calls alone cost. Other datagrams are dropped; SIGTERM ends it with
// status 0.
//     floor_responder ADDRESS PORT
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

volatile std::sig_atomic_t g_stopping = 0;

constexpr int kHeader = 12;
// \x09host12345\x05bench\x04test\x00: the only name shape answered.
constexpr int kName = 1 + 9 + 1 + 5 + 1 + 4 + 1;
constexpr int kQuestionEnd = kHeader + kName + 4;
constexpr int kAnswerLength = kQuestionEnd + 16;

char Lower(unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
}

bool SameText(const unsigned char* wire, const char* text, int length) {
    for (int i = 0; i < length; ++i) {
        if (Lower(wire[i]) != text[i]) {
            return false;
        }
    }
    return true;
}

// The host number of a standard query whose only question is host%05d.bench.test A IN, or -1.
int HostNumber(const unsigned char* q, long length) {
    static const unsigned char kTail[] = {0, 1, 0, 1};  // QTYPE A, QCLASS IN
    if (length < kQuestionEnd || (q[2] & 0xF8) != 0 || q[4] != 0 || q[5] != 1 ||
        !SameText(q + kHeader, "\x09host", 5) || !SameText(q + kHeader + 10, "\5bench\4test", 11) ||
        q[kHeader + kName - 1] != 0 || std::memcmp(q + kHeader + kName, kTail, sizeof kTail) != 0) {
        return -1;
    }
    int number = 0;
    for (int i = kHeader + 5; i < kHeader + 10; ++i) {
        if (q[i] < '0' || q[i] > '9') {
            return -1;
        }
        number = number * 10 + (q[i] - '0');
    }
    return number < 65536 ? number : -1;  // 198.19.0.0/16 has no address for a larger one
}

// Turns the query in place into its answer: the question kept, any additional record replaced
// by one A record that points back at the question's name.
void PatchAnswer(unsigned char* q, int host) {
    q[2] = static_cast<unsigned char>(0x80 | (q[2] & 0x01));  // QR, and RD as asked
    q[3] = 0x80;                                              // RA, NOERROR
    static const unsigned char kCounts[] = {0, 1, 0, 1, 0, 0, 0, 0};
    std::memcpy(q + 4, kCounts, sizeof kCounts);
    const unsigned char answer[] = {0xC0,
                                    0x0C,
                                    0,
                                    1,
                                    0,
                                    1,
                                    0,
                                    1,
                                    0x51,
                                    0x80,
                                    0,
                                    4,
                                    198,
                                    19,
                                    static_cast<unsigned char>(host / 256),
                                    static_cast<unsigned char>(host % 256)};
    std::memcpy(q + kQuestionEnd, answer, sizeof answer);
}

int OpenSocket(const char* address, const char* port) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<unsigned short>(std::atoi(port)));
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0 || inet_pton(AF_INET, address, &local.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::perror("floor_responder: socket");
        std::exit(1);
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: floor_responder ADDRESS PORT\n");
        return 2;
    }
    const int fd = OpenSocket(argv[1], argv[2]);
    // Without SA_RESTART a signal ends the blocked recvfrom, so the loop sees the flag.
    struct sigaction stop {};
    stop.sa_handler = [](int) { g_stopping = 1; };
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    unsigned char buffer[2048];
    while (!g_stopping) {
        sockaddr_storage client{};
        socklen_t client_length = sizeof client;
        const long got = recvfrom(fd, buffer, sizeof buffer, 0,
                                  reinterpret_cast<sockaddr*>(&client), &client_length);
        const int host = got > 0 ? HostNumber(buffer, got) : -1;
        if (host < 0) {
            continue;
        }
        PatchAnswer(buffer, host);
        sendto(fd, buffer, kAnswerLength, 0, reinterpret_cast<sockaddr*>(&client), client_length);
    }
    return 0;
}
