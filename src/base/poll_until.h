#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>

namespace pellora {

// Completes on the awaiting coroutine's executor once `done()` holds, checking every `every`. For waits on
// another thread's progress: that thread never completes into the waiting side, whose context may be torn
// down meanwhile (the wait then simply goes with it).
template <typename Done>
boost::asio::awaitable<void> pollUntil(Done done, std::chrono::milliseconds every) {
  if (done()) co_return;
  boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor);
  while (!done()) {
    timer.expires_after(every);
    co_await timer.async_wait(boost::asio::use_awaitable);
  }
}

}  // namespace pellora
