#include "templates/BuiltIns.h"

namespace jinja {

// The rows come from the built-in filters, tests and global functions; none is served yet.
const Filters::Table& Filters::builtIn() {
  static const Table table;
  return table;
}

const Function* Filters::find(const std::string& name) {
  const Table& table = builtIn();
  auto it = table.find(name);
  return it == table.end() ? nullptr : &it->second;
}

const Tests::Table& Tests::builtIn() {
  static const Table table;
  return table;
}

const TestFunction* Tests::find(const std::string& name) {
  const Table& table = builtIn();
  auto it = table.find(name);
  return it == table.end() ? nullptr : &it->second;
}

const Globals::Table& Globals::builtIn() {
  static const Table table;
  return table;
}

}  // namespace jinja
