#pragma once
// The renewal clock over an asio steady_timer on the main io_context: real time, unaffected
// by changes to the wall clock.

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <functional>

#include "SessionTool.h"

namespace dravik {

class AsioRenewalTimer : public RenewalTimer {
 public:
  // `io` is not owned; it runs on the main thread and outlives the timer.
  explicit AsioRenewalTimer(asio::io_context& io) : timer_(io) {}

  void start(double seconds, std::function<void()> work) override {
    // Setting the expiry aborts a wait still pending, whose handler then does nothing.
    timer_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds)));
    timer_.async_wait([work = std::move(work)](const asio::error_code& error) {
      if (!error) work();
    });
  }
  void cancel() override { timer_.cancel(); }

 private:
  asio::steady_timer timer_;
};

}  // namespace dravik
