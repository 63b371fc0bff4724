// The exception type of the shared library code.
//
// It carries one wide message and is thrown by value. Only constructors that validate their
// arguments throw it (see CqvLog); nothing in the logging framework throws it across a thread
// entry point or back into a caller's Log call.
#pragma once

#include <string>
#include <utility>

namespace QV {
namespace Shared {

class CSharedException {
public:
    explicit CSharedException(std::wstring message) : message_(std::move(message)) {}

    const std::wstring& Message() const noexcept { return message_; }

private:
    std::wstring message_;
};

}  // namespace Shared
}  // namespace QV
