// Renders in which an allocation fails: the global allocation functions of this test binary fail
// the n-th allocation of the current thread when told to, so every failure point of a small
// template is reached in turn. A failed render ends in the engine's error, never in a crash.
// AddressSanitizer's own allocation functions stay in place in its build, where the test skips.
#include <cstdlib>
#include <new>
#include <string>

#include <gtest/gtest.h>

#include "templates/JinjaError.h"
#include "templates/Template.h"

#ifndef __SANITIZE_ADDRESS__
namespace {

// Allocations of this thread that succeed before one fails; negative: all do.
thread_local long long allocationsLeft = -1;
thread_local bool failed = false;

void* allocate(std::size_t size) {
  if (allocationsLeft == 0) {
    allocationsLeft = -1;
    failed = true;
    throw std::bad_alloc();
  }
  if (allocationsLeft > 0) --allocationsLeft;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#else
namespace {
thread_local long long allocationsLeft = -1;
thread_local bool failed = false;
}  // namespace
#endif

namespace jinja {
namespace {

// Renders with the allocation after `successes` ones failing (negative: none); the output, or the
// error. `failed` tells whether the failure came.
std::string renderFailingAfter(const Template& compiled, long long successes) {
  Template::Context context{{"big", Value(std::string(1000, 'x'))}};
  failed = false;
  allocationsLeft = successes;
  std::string out;
  try {
    out = compiled.render(context);
  } catch (const JinjaError& e) {
    out = e.what();
  }
  allocationsLeft = -1;
  return out;
}

TEST(AllocationFailureTest, EveryFailedAllocationEndsTheRenderWithAnError) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizer's allocation functions cannot be replaced";
#endif
  const char* const sources[] = {
      "{{ dict(a=big, b=[big, big], c={'d': big}) | length }}",
      "{% set ns = namespace(a=big, b=1) %}{% set ns.c = ns.a ~ big %}{{ ns.c | length }}",
      "{% set ns = namespace(l=[]) %}{% for i in range(4) %}{% set ns.l = ns.l + [[big, i], {'k': big}] %}{% endfor %}"
      "{{ ns.l | length }}",
      "{% macro m(a, b=[1, 2]) %}{{ a | length }}{{ caller() if caller }}{% endmacro %}{{ m(big ~ big) }}"
      "{% call m(big) %}{{ big | upper | length }}{% endcall %}",
      "{{ big.split('x') | length }}|{{ big.replace('x', 'yy') | length }}|{{ big | reverse | length }}|"
      "{{ (big ~ '\u00e9')[::-1] | length }}|{{ big | tojson | length }}|{{ [big] | map('upper') | join | length }}",
      "{% for k, v in {'a': big, 'b': big}.items() %}{{ k }}{{ v | length }}{% endfor %}"
      "{{ [3, 1, 2] | sort | list }}{{ ['a', 'b'] | unique | list }}{{ big | wordwrap(50) | length }}",
  };
  for (const char* source : sources) {
    const Template compiled(source);
    const std::string expected = renderFailingAfter(compiled, -1);
    ASSERT_NE(expected.find_first_of("0123456789"), std::string::npos) << source << ": " << expected;
    long long successes = 0;
    for (;; ++successes) {
      const std::string out = renderFailingAfter(compiled, successes);
      if (!failed) break;
      if (out != expected) {  // a failure that a built-in recovers from leaves the output as it was
        ASSERT_EQ(out, "Runtime error: Rendering ran out of memory") << source << " after " << successes << " allocations";
      }
    }
    EXPECT_EQ(renderFailingAfter(compiled, successes), expected);
    EXPECT_GT(successes, 10) << source;
  }
}

}  // namespace
}  // namespace jinja
