// DeviceRequest receiving pictures of 1, 4 and 16 MiB from the simulator over loopback,
// against a bare receive loop into a preallocated buffer served by the same simulator.
// Prints the median throughput of each and their ratio.

#include "link/devicerequest.h"
#include "platform/socket.h"
#include "tools/scannersim/scannersimulator.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

// The least a client can do: one request, then recv into a buffer that is already there.
bool bareReceive(quint16 port, std::vector<unsigned char>& buffer, size_t expected)
{
    const net::Socket socket = net::openTcp();
    if (!net::connectIpv4(socket, "127.0.0.1", port, 5000)) {
        net::closeSocket(socket);
        return false;
    }
    const unsigned char request[kRequestSize] = {REQUEST_POLL};
    net::sendOnce(socket, request, sizeof request);
    size_t received = 0;
    while (received < expected) {
        const std::ptrdiff_t n = net::receiveOnce(socket, buffer.data() + received,
                                                  std::min(kReadSize, expected - received));
        if (n <= 0)
            break;
        received += size_t(n);
    }
    net::closeSocket(socket);
    return received == expected;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(3, atoi(argv[1])) : 15;
    net::startup();

    ScannerSimulator sim;
    if (!sim.start()) {
        std::fprintf(stderr, "simulator did not start\n");
        return 1;
    }
    std::printf("DeviceRequest against a bare recv loop, loopback, %d runs each, median\n", runs);
    std::printf("%8s %16s %16s %8s\n", "MiB", "DeviceRequest", "bare recv", "ratio");
    for (int mib : {1, 4, 16}) {
        const QByteArray payload(mib * 1024 * 1024, '\x42');
        sim.setDefaultReply(ScannerReply::image(payload));
        std::vector<unsigned char> buffer(size_t(payload.size()) + kImageHeaderSize);
        ByteVector data;
        float extra = 0;
        std::vector<double> viaRequest;
        std::vector<double> viaBare;
        for (int i = -2; i < runs; ++i) {
            // Alternate the two so that drift in the machine's load hits both alike.
            auto start = Clock::now();
            data.clear();
            const int result = DeviceRequest("127.0.0.1", sim.port(), REQUEST_POLL, data, extra);
            const double requestSeconds =
                std::chrono::duration<double>(Clock::now() - start).count();
            start = Clock::now();
            const bool bareOk = bareReceive(sim.port(), buffer, buffer.size());
            const double bareSeconds = std::chrono::duration<double>(Clock::now() - start).count();
            if (result != REPLY_IMAGE || !bareOk) {
                std::fprintf(stderr, "exchange failed: %d %d\n", result, int(bareOk));
                return 1;
            }
            if (i >= 0) {
                viaRequest.push_back(mib / requestSeconds);
                viaBare.push_back(mib / bareSeconds);
            }
        }
        const double request = median(viaRequest);
        const double bare = median(viaBare);
        std::printf("%8d %12.1f MiB/s %10.1f MiB/s %8.2f\n", mib, request, bare, request / bare);
    }
    sim.stop();
    net::cleanup();
    return 0;
}
