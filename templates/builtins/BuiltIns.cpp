// The three tables of BuiltIns.h, each built once from the rows of its family.
#include "templates/BuiltIns.h"

#include <cstdint>

#include "templates/builtins/BuiltInRows.h"

namespace jinja {

const Filters::Table& Filters::builtIn() {
  static const Table table = detail::makeFilterTable();
  return table;
}

const Function* Filters::find(const HashedText& name) {
  const Table& table = builtIn();
  auto it = table.find(name);
  return it == table.end() ? nullptr : &it->second;
}

const Tests::Table& Tests::builtIn() {
  static const Table table = detail::makeTestTable();
  return table;
}

const TestFunction* Tests::find(const HashedText& name) {
  const Table& table = builtIn();
  auto it = table.find(name);
  return it == table.end() ? nullptr : &it->second;
}

const Globals::Table& Globals::builtIn() {
  static const Table table = detail::makeGlobalTable();
  return table;
}

const Value* Globals::find(const HashedText& name) {
  // One bit per global name's hash (mod 64): most names looked up are not globals.
  static const std::uint64_t present = [] {
    std::uint64_t bits = 0;
    for (const auto& [global, value] : builtIn()) bits |= std::uint64_t{1} << (TextHash{}(global) % 64);
    return bits;
  }();
  if (!(present & (std::uint64_t{1} << (name.hash % 64)))) return nullptr;
  const Table& table = builtIn();
  auto it = table.find(name);
  return it == table.end() ? nullptr : &it->second;
}

}  // namespace jinja
