// The HTTP endpoints: health and registration answer at once; /v1/host is a host's control line
// (control_lines.cc); /v1/connect waits for the host to accept, and /v1/accept joins the host to its viewer,
// here or, in a cluster, on the node where the viewer waits.

#include "relay/relay_server_impl.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/json.hpp>

namespace pellora::relay {

namespace {

constexpr const char* kUpgradeToken = "pellora-relay/1";

std::string registrationBody(const Registration& r) {
  return boost::json::serialize(boost::json::object{{"id", r.id}, {"secret", r.secret}});
}

}  // namespace

template <typename Stream>
awaitable<void> RelayServer::Impl::serve(std::shared_ptr<Connection<Stream>> c) {
  http::request_parser<http::string_body> parser;
  parser.header_limit(kHeadLimit);
  parser.body_limit(1024);
  tcpOf(c->stream).expires_after(config.headerTimeout);
  auto [ec, n] = co_await http::async_read(c->stream, c->buffer, parser, tuple);
  if (ec) {
    // A head that is malformed or too large gets an answer; a slow or vanished client does not, and
    // neither does one that claims another address in a PROXY line (only trusted balancers may).
    if (beast::buffers_to_string(c->buffer.data()).starts_with("PROXY ")) co_return c->close();
    if (ec == http::error::header_limit) co_await respond(*c, http::status::request_header_fields_too_large, "too-large"sv);
    else if (ec.category() == make_error_code(http::error::bad_target).category()) co_await respond(*c, http::status::bad_request, "bad-request"sv);
    c->close();
    co_return;
  }
  tcpOf(c->stream).expires_never();
  const auto& req = parser.get();
  const std::string_view target(req.target().data(), req.target().size());

  if (admission.clientConnections() > config.maxConnections) co_return co_await decline(c, capacityAnswer);

  if (target == "/v1/health") {
    if (req.method() != http::verb::get && req.method() != http::verb::head)
      co_return co_await respond(*c, http::status::method_not_allowed, "method"sv);
    auto probe = [this] { return registry.reachable(); };
    auto reachable = co_await registryCall(std::move(probe));
    if (reachable.value_or(false))
      co_return co_await respond(*c, http::status::ok, {}, std::string(R"({"status":"ok","registry":"reachable"})"));
    co_return co_await respond(*c, http::status::service_unavailable, {},
                               std::string(R"({"error":"registry","registry":"unreachable"})"));
  }
  // Registration lives under the operator's base path; the upgrade paths are absolute.
  if (target.ends_with("/v1/register")) {
    if (req.method() != http::verb::post) co_return co_await respond(*c, http::status::method_not_allowed, "method"sv);
    if (!allow(Admission::Endpoint::registration, *c)) co_return co_await decline(c, rateLimitAnswer);
    auto draw = [this] { return registry.registerIdentity(); };
    auto registration = co_await registryCall(std::move(draw));
    if (!registration) co_return co_await unavailable(*c);
    std::string body = registrationBody(*registration);
    co_return co_await respond(*c, http::status::ok, {}, std::move(body));
  }
  const bool upgradePath = target == "/v1/host" || target == "/v1/connect" || target == "/v1/accept";
  if (!upgradePath) co_return co_await respond(*c, http::status::not_found, "not-found"sv);
  if (req.method() != http::verb::get) co_return co_await respond(*c, http::status::method_not_allowed, "method"sv);
  if (!beast::iequals(req[http::field::upgrade], kUpgradeToken))
    co_return co_await respond(*c, http::status::upgrade_required, "upgrade"sv);

  auto header = [&req](std::string_view name) { return std::string(req[name]); };
  if (target == "/v1/host") co_return co_await hostControl(c, header("X-Pellora-Id"sv), header("X-Pellora-Secret"sv));
  if (target == "/v1/connect") co_return co_await connect(c, header("X-Pellora-Id"sv));
  co_return co_await accept(c, header("X-Pellora-Token"sv));
}

template <typename Stream>
awaitable<void> RelayServer::Impl::connect(std::shared_ptr<Connection<Stream>> viewer, std::string id) {
  if (!allow(Admission::Endpoint::connect, *viewer, id))
    co_return co_await decline(viewer, rateLimitAnswer);
  auto waiting = std::make_shared<Waiting>(viewer->stream.get_executor());
  // The wait starts before the host hears of it: its accept may come back before the call below returns.
  waiting->wake.expires_after(config.acceptTimeout);
  const auto expiry = std::chrono::steady_clock::now() + config.acceptTimeout;
  auto announce = [this, waiting, expiry, id](RelayRegistry::Announced done) {
    registry.announcePipelined(id, waiting, expiry, std::move(done));
  };
  auto token = co_await storeCall<std::string>(std::move(announce));
  if (!token) co_return co_await unavailable(*viewer);
  if (token->empty()) co_return co_await respond(*viewer, http::status::not_found, "offline"sv);
  if (!waiting->joined()) co_await waiting->wake.async_wait(tuple);
  if (!waiting->joined()) {
    auto forget = [this, t = *token] { return registry.takeLocalPending(t) != nullptr; };
    co_await registryCall(std::move(forget));
    if (!waiting->joined()) co_return co_await respond(*viewer, http::status::gateway_timeout, "timeout"sv);
  }
  if (!co_await switchProtocols(*viewer)) {
    waiting->closeHost();
    co_return viewer->close();
  }
  if (waiting->plainHost) splice(viewer, waiting->plainHost);
  else splice(viewer, waiting->tlsHost);
}

template <typename Stream>
awaitable<void> RelayServer::Impl::accept(std::shared_ptr<Connection<Stream>> host, std::string token) {
  if (!allow(Admission::Endpoint::accept, *host))
    co_return co_await decline(host, rateLimitAnswer);
  auto take = [this, token](RelayRegistry::Taken done) { registry.takePendingPipelined(token, std::move(done)); };
  auto lookup = co_await storeCall<PendingLookup>(std::move(take));
  if (!lookup) co_return co_await unavailable(*host);
  auto waiting = std::dynamic_pointer_cast<Waiting>(lookup->local);
  if (!waiting && !lookup->node.empty() && config.cluster()) co_return co_await acceptElsewhere(host, token, lookup->node);
  if (!waiting) co_return co_await respond(*host, http::status::not_found, "token"sv);
  if (!co_await switchProtocols(*host)) co_return host->close();
  waiting->join(std::move(host));  // the viewer's coroutine takes over from here
}

template awaitable<void> RelayServer::Impl::serve(std::shared_ptr<Connection<PlainStream>>);
template awaitable<void> RelayServer::Impl::serve(std::shared_ptr<Connection<TlsStream>>);

}  // namespace pellora::relay
