#include "cli/metrics_server.h"

#include <cerrno>
#include <cstring>

#include "engine/system_error.h"

#if defined(VOLSTRESS_HAVE_MHD)
#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace cli {

bool ParseListenAddress(const std::string& text, std::string& host, int& port) {
    size_t colon;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
        host = text.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) return false;
        host = text.substr(0, colon);
    }
    const std::string digits = text.substr(colon + 1);
    if (host.empty() || digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::stoi(digits);
    return port <= 65535;
}

MetricsServer::Reply MetricsServer::For(const char* accept) const {
    std::lock_guard lock(mutex_);
    if (accept && std::strstr(accept, "application/openmetrics-text"))
        return {openMetrics_, "application/openmetrics-text; version=1.0.0; charset=utf-8"};
    return {classic_, "text/plain; version=0.0.4; charset=utf-8"};
}

void MetricsServer::Publish(std::string openMetrics, std::string classic) {
    std::lock_guard lock(mutex_);
    openMetrics_ = std::move(openMetrics);
    classic_ = std::move(classic);
}

#if defined(VOLSTRESS_HAVE_MHD)

struct MetricsServer::Daemon {
    MHD_Daemon* mhd = nullptr;
    int fd = -1;
};

namespace {

MHD_Result Answer(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                  const char*, size_t*, void**) {
    const auto& server = *static_cast<const MetricsServer*>(cls);
    const bool metrics = std::strcmp(url, "/metrics") == 0;
    const bool get = std::strcmp(method, "GET") == 0 || std::strcmp(method, "HEAD") == 0;
    MetricsServer::Reply reply;
    unsigned status = MHD_HTTP_OK;
    if (!metrics) {
        status = MHD_HTTP_NOT_FOUND;
        reply = {"volstress-cli serves /metrics only\n", "text/plain; charset=utf-8"};
    } else if (!get) {
        status = MHD_HTTP_METHOD_NOT_ALLOWED;
        reply = {"GET /metrics\n", "text/plain; charset=utf-8"};
    } else {
        reply = server.For(MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT));
    }
    MHD_Response* response =
        MHD_create_response_from_buffer(reply.body.size(), reply.body.data(), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.contentType.c_str());
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

}  // namespace

MetricsServer::MetricsServer() : daemon_(std::make_unique<Daemon>()) {}

MetricsServer::~MetricsServer() {
    Stop();
}

bool MetricsServer::Available() {
    return true;
}

bool MetricsServer::Start(const std::string& listen, std::string& error) {
    std::string host;
    int port = 0;
    if (!ParseListenAddress(listen, host, port)) {
        error =
            "--metrics-listen: '" + listen + "' is not ADDR:PORT (for example 127.0.0.1:9464 or [::1]:9464)";
        return false;
    }
    sockaddr_storage address{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        length = sizeof *v4;
    } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        length = sizeof *v6;
    } else {
        error = "--metrics-listen: '" + host +
                "' is not an IP address of this machine (give one, such as 127.0.0.1)";
        return false;
    }
    // Bound here, so that a port that is taken or an address that is not this machine's is said with the
    // system's own reason before the run.
    const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 64) != 0) {
        const int code = errno;
        if (fd >= 0) ::close(fd);
        error = "--metrics-listen: cannot listen on " + listen + ":" +
                engine::SystemErrorText(static_cast<uint32_t>(code)) +
                (code == EADDRINUSE      ? " (another program has the port)"
                 : code == EADDRNOTAVAIL ? " (the address is not this machine's)"
                                         : "");
        return false;
    }
    sockaddr_storage bound{};
    socklen_t boundLength = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLength);
    port_ = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                                             : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
    // One thread of its own polling every connection (epoll): idle and slow clients are cut after 5 s, and
    // up to 512 are held at once, so a crowd of them leaves room for the scraper.
    daemon_->mhd = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL, 0, nullptr, nullptr,
                                    &Answer, this, MHD_OPTION_LISTEN_SOCKET, fd,
                                    MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(5),
                                    MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(512), MHD_OPTION_END);
    if (!daemon_->mhd) {
        ::close(fd);
        error = "--metrics-listen: cannot serve on " + listen + " (the HTTP server did not start)";
        return false;
    }
    daemon_->fd = fd;
    return true;
}

void MetricsServer::Stop() {
    if (daemon_ && daemon_->mhd) {
        MHD_stop_daemon(daemon_->mhd);
        daemon_->mhd = nullptr;
        ::close(daemon_->fd);
        daemon_->fd = -1;
    }
}

#else

struct MetricsServer::Daemon {};

MetricsServer::MetricsServer() = default;
MetricsServer::~MetricsServer() = default;

bool MetricsServer::Available() {
    return false;
}

bool MetricsServer::Start(const std::string&, std::string& error) {
    error = "--metrics-listen: this build serves no HTTP (it has no libmicrohttpd)";
    return false;
}

void MetricsServer::Stop() {}

#endif

}  // namespace cli
