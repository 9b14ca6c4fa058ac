// The tree-walking interpreter: runs nodes and statements, evaluates expressions, calls macros and
// call blocks. Stateless static operations, reentrant on any thread. Errors are JinjaError
// (runtime case) or the errors of called built-ins; `break`/`continue` travel as ControlFlow up
// to their loop. Nesting of evaluation (expressions, statements, macro and caller calls) is limited
// to `maxDepth` levels per thread, so a template that recurses without end fails with an error;
// loop iterations and calls look at the clock of `renderRoot`'s time limit now and then.
//   std::string out; Interpreter::interpret(nodes, Environment::make(), out);
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "templates/Ast.h"
#include "templates/Environment.h"
#include "templates/Value.h"

namespace jinja {

class Interpreter {
 public:
  static constexpr std::uint32_t maxDepth = 400;

  // A new root scope from `environment`'s own variables; the rendered text.
  static std::string interpret(const Nodes& nodes, const Environment& environment);
  // Renders in `root`; loop control that reaches it is a runtime error ("'break' outside a loop"),
  // and so are running longer than `timeLimit` and holding more than `memoryLimit` bytes in values,
  // argument lists and rendered text (zero: no limit), and running out of memory.
  static std::string renderRoot(const Nodes& nodes, const EnvironmentRef& root,
                                std::chrono::milliseconds timeLimit = std::chrono::milliseconds::zero(),
                                std::size_t memoryLimit = 0);
  static void interpret(const Nodes& nodes, const EnvironmentRef& env, std::string& into);
  static void interpretNode(const Node& node, const EnvironmentRef& env, std::string& into);
  static void executeStatementWithOutput(const Statement& statement, const EnvironmentRef& env, std::string& into);
  static void assign(const Expression& target, Value value, const EnvironmentRef& env);
  static Value makeLoopObject(std::size_t index, std::size_t totalCount);

  static Value evaluateExpression(const Expression& expression, const EnvironmentRef& env);
  static Value evaluateSlice(const Value& value, const std::optional<Expression>& start,
                             const std::optional<Expression>& stop, const std::optional<Expression>& step,
                             const EnvironmentRef& env);
  static bool evaluateTest(const std::string& name, const Arguments& args, const EnvironmentRef& env);
  static Value evaluateUnaryValue(Expression::UnaryOp op, const Value& operand);
  static Value evaluateBinaryValues(Expression::BinaryOp op, const Value& left, const Value& right);
  static Value evaluateComputedMember(const Value& object, const Value& key);

  static Value callMacro(const Macro& macro, const Arguments& arguments, const KeywordArguments& keywordArguments,
                         const EnvironmentRef& env);
};

}  // namespace jinja
