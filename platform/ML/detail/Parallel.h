// A process-wide pool of worker threads for data-parallel loops inside one prediction.
// `parallelFor` may be called from several threads at once; the caller works too and returns
// when every index is done. An exception from the body is rethrown to the caller (the first one).
#pragma once

#include <cstddef>
#include <functional>

namespace platform::ml::detail {

// Runs body(i) for i in [0, n), spread over the pool.
void parallelFor(std::size_t n, const std::function<void(std::size_t)>& body);

// Number of threads a parallel loop uses (workers plus the caller).
std::size_t parallelism();

}  // namespace platform::ml::detail
