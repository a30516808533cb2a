#pragma once
// --metrics-listen: /metrics over HTTP while the run goes, from a text the run driver publishes once a
// second. The server's own thread only copies the latest text: a slow or hostile client (one that connects
// and sends nothing, or reads a byte a second, or two hundred of them at once) waits on the server's
// connection limit and timeout, never on the workers.
#include <memory>
#include <mutex>
#include <string>

namespace cli {

class MetricsServer {
  public:
    MetricsServer();
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Whether this build serves HTTP (libmicrohttpd).
    static bool Available();
    // listen: "ADDR:PORT" ("127.0.0.1:9464", "[::1]:9464"); bound to that address only. False with the
    // reason: not an address, a port that is taken, an address that is not this machine's.
    bool Start(const std::string& listen, std::string& error);
    // The texts served from now on: OpenMetrics to a scraper that asks for it, the classic format otherwise.
    void Publish(std::string openMetrics, std::string classic);
    void Stop();
    // The port bound (the one given, or the system's choice for port 0).
    int Port() const { return port_; }

    // What the handler serves for an Accept header.
    struct Reply {
        std::string body, contentType;
    };
    Reply For(const char* accept) const;

  private:
    struct Daemon;
    std::unique_ptr<Daemon> daemon_;
    mutable std::mutex mutex_;
    // Until the first figures, an empty document: OpenMetrics requires its # EOF even then.
    std::string openMetrics_ = "# EOF\n", classic_;
    int port_ = 0;
};

// Splits "ADDR:PORT" (IPv6 in brackets); false when it is not one.
bool ParseListenAddress(const std::string& text, std::string& host, int& port);

}  // namespace cli
