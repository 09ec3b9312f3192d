#include "Platform/Asio/AsioMainQueue.h"

#include <asio/post.hpp>

namespace dravik::platform {

void AsioMainQueue::post(std::function<void()> work) { asio::post(io_, std::move(work)); }

}  // namespace dravik::platform
