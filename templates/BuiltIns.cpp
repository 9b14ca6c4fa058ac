#include "templates/BuiltIns.h"

#include "templates/detail/BuiltInRows.h"

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
  const Table& table = builtIn();
  auto it = table.find(name);
  return it == table.end() ? nullptr : &it->second;
}

}  // namespace jinja
