#pragma once
// The main queue over an asio::io_context that the program runs on its main thread.

#include <asio/io_context.hpp>

#include "Platform/MainQueue.h"

namespace dravik::platform {

class AsioMainQueue : public MainQueue {
 public:
  // `io` is not owned; the program runs it on the main thread and it outlives this queue.
  explicit AsioMainQueue(asio::io_context& io) : io_(io) {}
  void post(std::function<void()> work) override;

 private:
  asio::io_context& io_;
};

}  // namespace dravik::platform
