#include "panel_server.h"

#include "console.h"

// Boost 1.74's Asio uses std::exchange without including it.
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <chrono>
#include <optional>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

// Small: the page asks for little, and nothing else has any business here.
constexpr std::size_t HEADER_LIMIT = 8192;
constexpr std::size_t BODY_LIMIT = 1024;
constexpr int MOST_CONNECTIONS = 16;
constexpr auto IDLE_LIMIT = std::chrono::seconds(30);

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

} // namespace

struct PanelServer::State {
    // Before the io_context: its handlers, sessions among them, end with it.
    panel::Panel *panel = nullptr;
    int connections = 0;
    bool interrupted = false;
    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    asio::steady_timer tick{io};

    void Accept();
    void Tick();
    void Stop()
    {
        beast::error_code ignored;
        acceptor.close(ignored);
        io.stop();
    }
};

namespace {

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, PanelServer::State &server) : stream_(std::move(socket)), server_(server)
    {
        ++server_.connections;
    }
    ~Session() { --server_.connections; }

    void Read()
    {
        parser_.emplace();
        parser_->header_limit(HEADER_LIMIT);
        parser_->body_limit(BODY_LIMIT);
        stream_.expires_after(IDLE_LIMIT);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code error, std::size_t) { self->OnRead(error); });
    }

    // Answers at once and hangs up: the connection is one too many.
    void Refuse(http::status status, const std::string &reason)
    {
        response_ = {status, 11};
        response_.set(http::field::content_type, "text/plain; charset=utf-8");
        response_.body() = reason + "\n";
        response_.keep_alive(false);
        Write();
    }

private:
    void OnRead(beast::error_code error)
    {
        if (error == http::error::body_limit) {
            return Refuse(http::status::payload_too_large, "the body is larger than " +
                                                               std::to_string(BODY_LIMIT) + " bytes");
        }
        if (error == http::error::header_limit || error == http::error::buffer_overflow) {
            return Refuse(http::status::request_header_fields_too_large, "the request's header is too large");
        }
        if (error) {
            return Close(); // gone, idle too long, or not HTTP
        }
        const auto &request = parser_->get();
        panel::Request asked{std::string(request.method_string()),
                             std::string(request.target()),
                             std::string(request[http::field::host]),
                             std::string(request[http::field::origin]),
                             std::string(request[http::field::content_type]),
                             request.body()};
        const panel::Response answer = server_.panel->Handle(asked, Now());
        response_ = {static_cast<http::status>(answer.status), request.version()};
        response_.set(http::field::content_type, answer.contentType);
        response_.set(http::field::cache_control, "no-store");
        response_.set("X-Content-Type-Options", "nosniff");
        // The address holds the token: never hand it on; never be framed.
        response_.set("Referrer-Policy", "no-referrer");
        response_.set("Content-Security-Policy",
                      "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                      "connect-src 'self'; img-src data:; frame-ancestors 'none'; form-action 'none'");
        if (!answer.allow.empty()) {
            response_.set(http::field::allow, answer.allow);
        }
        response_.body() = answer.body;
        response_.keep_alive(request.keep_alive() && !server_.panel->quitAsked());
        Write();
    }

    void Write()
    {
        response_.prepare_payload();
        http::async_write(stream_, response_, [self = shared_from_this()](beast::error_code error, std::size_t) {
            if (self->server_.panel->quitAsked()) {
                self->server_.Stop();
            } else if (!error && self->response_.keep_alive()) {
                self->Read();
            } else {
                self->Close();
            }
        });
    }

    void Close()
    {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    }

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_{HEADER_LIMIT + BODY_LIMIT};
    std::optional<http::request_parser<http::string_body>> parser_;
    http::response<http::string_body> response_;
    PanelServer::State &server_;
};

} // namespace

void PanelServer::State::Accept()
{
    acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
        if (error) {
            return; // closed: the panel is ending
        }
        auto session = std::make_shared<Session>(std::move(socket), *this);
        if (connections > MOST_CONNECTIONS) {
            session->Refuse(http::status::too_many_requests, "too many connections to the panel at once");
        } else {
            session->Read();
        }
        Accept();
    });
}

// Pulses end and interrupts are seen on the server's one thread.
void PanelServer::State::Tick()
{
    tick.expires_after(std::chrono::milliseconds(5));
    tick.async_wait([this](beast::error_code error) {
        if (error) {
            return;
        }
        if (InterruptRequested()) {
            interrupted = true;
            Stop();
            return;
        }
        panel->EndPulseIfDue(Now());
        Tick();
    });
}

PanelServer::PanelServer() : state_(std::make_unique<State>()) {}

PanelServer::~PanelServer() = default;

bool PanelServer::Listen(uint16_t port, std::string &error)
{
    beast::error_code problem;
    const tcp::endpoint loopback(asio::ip::make_address_v4("127.0.0.1"), port);
    state_->acceptor.open(loopback.protocol(), problem);
#ifndef _WIN32
    // Linux refuses the port for a while after a run that had connections;
    // on Windows the same option would let another program share the port.
    if (!problem) {
        state_->acceptor.set_option(tcp::acceptor::reuse_address(true), problem);
    }
#endif
    if (!problem) {
        state_->acceptor.bind(loopback, problem);
    }
    if (!problem) {
        state_->acceptor.listen(MOST_CONNECTIONS, problem);
    }
    if (problem) {
        error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + problem.message();
        return false;
    }
    return true;
}

uint16_t PanelServer::port() const
{
    beast::error_code ignored;
    return state_->acceptor.local_endpoint(ignored).port();
}

bool PanelServer::Run(panel::Panel &panel)
{
    state_->panel = &panel;
    state_->Accept();
    state_->Tick();
    state_->io.run();
    return state_->interrupted;
}
