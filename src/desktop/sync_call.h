// Handing work to another thread and waiting for its result, for any runner with
// `runSync(const std::function<void()>&)`.
#pragma once

#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

namespace desktop {

template <typename Runner, typename F>
auto callSync(Runner& runner, F&& work) -> std::invoke_result_t<F> {
  using Result = std::invoke_result_t<F>;
  if constexpr (std::is_void_v<Result>) {
    runner.runSync(std::function<void()>(std::forward<F>(work)));
  } else {
    std::optional<Result> result;
    runner.runSync([&] { result.emplace(work()); });
    return std::move(*result);
  }
}

}  // namespace desktop
