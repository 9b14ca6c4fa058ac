// once(make): the value make() gives, made on first use and kept for the program's life; one per
// call site, as each lambda is a type of its own. For argument lists that calls only read.
//   const auto& parameters = once([] { return std::vector<std::string>{"chars"}; });
#pragma once

namespace jinja::detail {

template <class Make>
const auto& once(Make make) {
  static const auto value = make();
  return value;
}

}  // namespace jinja::detail
