#include "templates/Interpreter.h"

#include <algorithm>
#include <array>
#include <limits>
#include <new>
#include <sstream>

#include "templates/BuiltIns.h"
#include "templates/JinjaError.h"
#include "templates/PropertyMembers.h"
#include "templates/Template.h"
#include "templates/detail/LiveMember.h"
#include "templates/detail/RenderClock.h"
#include "templates/detail/RenderMemory.h"
#include "templates/detail/SmallVector.h"
#include "templates/detail/Text.h"

namespace jinja {

namespace {

thread_local std::uint32_t tDepth = 0;

// One level of evaluation nesting; the stack use per level bounds maxDepth (see the tests that
// render the deepest template on a 1 MiB stack).
[[noreturn, gnu::noinline, gnu::cold]] void throwTooDeep() {
  --tDepth;
  throw JinjaError::runtime("Maximum nesting depth of " + std::to_string(Interpreter::maxDepth) +
                            " exceeded while rendering");
}

// The argument list of a call, filter or test, on storage reused within the thread: a render
// makes many calls, and each would otherwise allocate its list. Lists that grew large are freed.
class ArgumentList {
 public:
  ArgumentList() {
    std::vector<Arguments>& spare = spareLists();
    if (!spare.empty()) {
      args_ = std::move(spare.back());
      spare.pop_back();
    }
  }
  ~ArgumentList() {
    args_.clear();
    std::vector<Arguments>& spare = spareLists();
    if (args_.capacity() <= keptCapacity && spare.size() < keptLists) spare.push_back(std::move(args_));
  }
  ArgumentList(const ArgumentList&) = delete;
  ArgumentList& operator=(const ArgumentList&) = delete;
  Arguments& operator*() { return args_; }

  static constexpr std::size_t keptCapacity = 16;
  static constexpr std::size_t keptLists = 32;

 private:
  static std::vector<Arguments>& spareLists() {
    thread_local std::vector<Arguments> lists = [] {
      std::vector<Arguments> reserved;
      reserved.reserve(keptLists);  // returning a list never allocates
      return reserved;
    }();
    return lists;
  }
  Arguments args_;
};

using detail::tick;
using detail::renderClock;
using detail::RenderClock;

// Sets this thread's time limit for one render and restores the one before (a render inside a
// render, through a host function, keeps the outer one's limit afterwards).
class ClockGuard {
 public:
  explicit ClockGuard(std::chrono::milliseconds limit) : saved_(renderClock) {
    renderClock.limit = limit;
    renderClock.ticksLeft = RenderClock::ticksPerLook;
    if (limit.count() > 0) renderClock.deadline = std::chrono::steady_clock::now() + limit;
  }
  ~ClockGuard() { renderClock = saved_; }
  ClockGuard(const ClockGuard&) = delete;
  ClockGuard& operator=(const ClockGuard&) = delete;

 private:
  RenderClock saved_;
};

// Sets this thread's memory budget for one render and restores the one before.
class MemoryGuard {
 public:
  explicit MemoryGuard(std::size_t limit) : saved_(detail::renderMemory) { detail::renderMemory = {limit, 0}; }
  ~MemoryGuard() { detail::renderMemory = saved_; }
  MemoryGuard(const MemoryGuard&) = delete;
  MemoryGuard& operator=(const MemoryGuard&) = delete;

 private:
  detail::RenderMemory saved_;
};

class DepthGuard {
 public:
  DepthGuard() {
    if (++tDepth > Interpreter::maxDepth) throwTooDeep();
  }
  ~DepthGuard() { --tDepth; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
};

// The work a built-in does over a value: its bytes for a string, its entries for an array or object.
std::size_t workOf(const Value& v) {
  if (v.isString()) return v.asString().size();
  if (v.isArray()) return v.asArray().size();
  if (v.isObject()) return v.asObject().size();
  return 0;
}

std::size_t textBytes(const Value& v) { return v.isString() ? v.asString().size() : 0; }

// Appends to an output through `append`, then charges the growth to the memory budget (past it the
// text is cut back and the error thrown) and counts it towards the time limit.
template <class Append>
void appendCharged(std::string& into, Append&& append) {
  const std::size_t before = into.size();
  try {
    append();
  } catch (...) {
    // What was appended stays (a loop may catch the signal that ended it) and stays charged.
    if (into.size() > before) detail::renderMemory.used += static_cast<std::int64_t>(into.size() - before);
    throw;
  }
  if (into.size() == before) return;
  const std::size_t grown = into.size() - before;
  try {
    detail::chargeMemory(grown);
  } catch (...) {
    into.resize(before);
    throw;
  }
  detail::countWork(grown);
}

// The text of a body rendered on its own (a set block, a filter block, a macro or caller call):
// the output charged its bytes, released when the text is taken as a value or dropped.
class BodyText {
 public:
  BodyText() = default;
  BodyText(const BodyText&) = delete;
  BodyText& operator=(const BodyText&) = delete;
  ~BodyText() { detail::releaseMemory(text_.size()); }
  std::string& text() { return text_; }
  std::string take() {
    detail::releaseMemory(text_.size());
    std::string out = std::move(text_);
    text_.clear();
    return out;
  }

 private:
  std::string text_;
};

const Value& undefinedValue() {
  static const Value undefined = Value::undefined();
  return undefined;
}

// A member by name, or by a literal string or integer key: reading it evaluates nothing more.
bool hasPlainKey(const Expression::Member& member) {
  Expression::Kind key = member.property.kind();
  return member.computed ? key == Expression::Kind::string || key == Expression::Kind::integer
                         : key == Expression::Kind::identifier;
}

// Whether evaluating `e` can run no code that writes to a scope: a literal, a variable, or a member
// of such a value by name or literal key.
bool readsOnly(const Expression& e) {
  switch (e.kind()) {
    case Expression::Kind::string:
    case Expression::Kind::number:
    case Expression::Kind::integer:
    case Expression::Kind::boolean:
    case Expression::Kind::null:
    case Expression::Kind::identifier: return true;
    case Expression::Kind::member: {
      const auto& member = e.as<Expression::Member>();
      return hasPlainKey(member) && readsOnly(member.object);
    }
    default: return false;
  }
}

const Value* evaluateInPlace(const Expression& expression, const EnvironmentRef& env, Value& storage);

// The members a loop object lacks here (loop.previtem, loop.changed(x) and the like) are an error
// that names them rather than undefined: a template that reads them would render wrongly.
void refuseLoopExtra(const Value& object, const std::string& name) {
  static constexpr std::string_view extras[] = {"previtem", "nextitem", "changed", "depth", "depth0"};
  if (std::find(std::begin(extras), std::end(extras), name) == std::end(extras) || !object.isObject()) return;
  const auto& keys = object.asObject().keys();
  if (keys.size() == 8 && keys[0] == "index" && keys[7] == "cycle")
    throw JinjaError::runtime("loop." + name + " is not supported");
}

// evaluateInPlace for the kinds it reads in place, without its frame for the others.
inline const Value* inPlace(const Expression& expression, const EnvironmentRef& env, Value& storage) {
  Expression::Kind kind = expression.kind();
  if (kind == Expression::Kind::string) return expression.as<Expression::String>().constant.get();
  if (kind == Expression::Kind::identifier || kind == Expression::Kind::member)
    return evaluateInPlace(expression, env, storage);
  storage = Interpreter::evaluateExpression(expression, env);
  return &storage;
}

// use(value of `expression`), read in place where evaluateInPlace can.
template <class Use>
decltype(auto) withValue(const Expression& expression, const EnvironmentRef& env, Use&& use) {
  Expression::Kind kind = expression.kind();
  if (kind == Expression::Kind::string) return use(*expression.as<Expression::String>().constant);
  if (kind == Expression::Kind::identifier || kind == Expression::Kind::member) {
    Value storage;
    return use(*evaluateInPlace(expression, env, storage));
  }
  return use(Interpreter::evaluateExpression(expression, env));
}

// The value of `expression` without a copy where it is stored already (a variable, or a member of
// one reached by name or literal key): a pointer into the scope chain, into a stored value, or to
// `storage`, which receives any computed value. Valid until the next evaluation or scope write.
const Value* evaluateInPlace(const Expression& expression, const EnvironmentRef& env, Value& storage) {
  switch (expression.kind()) {
    case Expression::Kind::identifier: {
      const auto& identifier = expression.as<Expression::Identifier>();
      const Value* bound = env->find(HashedText(identifier.name, identifier.nameHash));
      return bound ? bound : &undefinedValue();
    }
    case Expression::Kind::member: {
      const auto& member = expression.as<Expression::Member>();
      if (!hasPlainKey(member)) break;
      const std::string* name = nullptr;
      if (!member.computed) {
        name = &member.property.as<Expression::Identifier>().name;
      } else if (member.property.kind() == Expression::Kind::string) {
        name = &member.property.as<Expression::String>().value;
      }
      DepthGuard guard;
      const Value* object = inPlace(member.object, env, storage);
      if (name && object->isObject() && (member.computed || !PropertyMembers::isObjectMethod(*name))) {
        const Value* stored = object->asObject().get(*name);
        if (!stored) {
          if (!member.computed) refuseLoopExtra(*object, *name);
          return &undefinedValue();
        }
        if (!stored->isFunction()) return stored;
        Value read = detail::memberValue(*stored);
        storage = std::move(read);
        return &storage;
      }
      if (!name && object->isArray()) {
        const auto& elements = object->asArray();
        std::int64_t i = member.property.as<Expression::Integer>().value;
        const auto n = static_cast<std::int64_t>(elements.size());
        if (i < 0) i += n;  // no overflow: a negative plus a count
        if (i < 0 || i >= n) return &undefinedValue();
        return &elements[static_cast<std::size_t>(i)];
      }
      Value result = name && !member.computed
                         ? PropertyMembers::evaluate(*object, *name)
                         : Interpreter::evaluateComputedMember(*object, name ? Value(*name)
                                                                             : Value(member.property.as<Expression::Integer>().value));
      storage = std::move(result);
      return &storage;
    }
    default: break;
  }
  storage = Interpreter::evaluateExpression(expression, env);
  return &storage;
}

Value callValue(const Value& callee, const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef& env) {
  if (callee.isFunction()) return callee.asFunction()(args, kwargs, env);
  if (callee.isMacro()) return Interpreter::callMacro(callee.asMacro(), args, kwargs, env);
  throw JinjaError::runtime("Cannot call non-function value");
}

// Keyword arguments; `charge` holds the bytes of their strings while the call is being made.
KeywordArguments evaluateKeywords(const Expression::KeywordMap& kwargs, const EnvironmentRef& env,
                                  detail::MemoryCharge& charge) {
  KeywordArguments out;
  for (const auto& [name, expression] : kwargs) {
    Value value = Interpreter::evaluateExpression(expression, env);
    charge.grow(textBytes(value));
    out.emplace(name, std::move(value));
  }
  return out;
}

// The positional arguments of a call, with `*xs` spread.
void evaluateArguments(const std::vector<Expression>& expressions, const EnvironmentRef& env, Arguments& args,
                       detail::MemoryCharge& charge) {
  args.reserve(expressions.size());
  for (const Expression& arg : expressions) {
    const auto* unary = arg.getIf<Expression::Unary>();
    if (unary && unary->op == Expression::UnaryOp::splat) {
      Value spread = Interpreter::evaluateExpression(unary->operand, env);
      if (!spread.isArray()) throw JinjaError::runtime("Cannot unpack non-array value");
      checkArraySize(args.size() + spread.asArray().size());
      for (const Value& element : spread.asArray()) charge.grow(textBytes(element));
      args.insert(args.end(), spread.asArray().begin(), spread.asArray().end());
    } else {
      args.push_back(Interpreter::evaluateExpression(arg, env));
      charge.grow(textBytes(args.back()));
    }
  }
}

bool argumentsReadOnly(const Expression::Call& call) {
  for (const Expression& arg : call.args)
    if (!readsOnly(arg)) return false;
  for (const auto& [name, arg] : call.kwargs)
    if (!readsOnly(arg)) return false;
  return true;
}

// `x.name(...)`: a string or object method is called directly instead of becoming a function value
// that holds its receiver; anything else is called as the member's value. The receiver is read
// before the arguments, in place only when they cannot write to a scope.
Value callMember(const Expression::Call& call, const Expression::Member& member, const EnvironmentRef& env) {
  const std::string& name = member.property.as<Expression::Identifier>().name;
  Value storage;
  const Value* receiver;
  if (argumentsReadOnly(call)) {
    receiver = inPlace(member.object, env, storage);
  } else {
    storage = Interpreter::evaluateExpression(member.object, env);
    receiver = &storage;
  }
  refuseLoopExtra(*receiver, name);
  const bool direct = receiver->isString() || (receiver->isObject() && PropertyMembers::isObjectMethod(name));
  const Value callee = direct ? Value::undefined() : PropertyMembers::evaluate(*receiver, name);
  ArgumentList list;
  detail::MemoryCharge charge;
  evaluateArguments(call.args, env, *list, charge);
  const KeywordArguments kwargs = evaluateKeywords(call.kwargs, env, charge);
  Value result;
  if (direct && PropertyMembers::callMethod(*receiver, name, *list, kwargs, result)) {
    detail::countWork(workOf(*receiver) + workOf(result));
    return result;
  }
  if (receiver->isString()) throw JinjaError::runtime("String method '" + name + "' is not supported");
  return callValue(callee, *list, kwargs, env);
}

// A function variable of that name first, then the built-in filter.
Value applyFilter(const HashedText& name, const Arguments& args, const KeywordArguments& kwargs,
                  const EnvironmentRef& env) {
  if (const Value* bound = env->find(name); bound && bound->isFunction()) {
    const Value function = *bound;  // the call may write to the scope that holds it
    return function.asFunction()(args, kwargs, env);
  }
  if (const Function* filter = Filters::find(name)) {
    Value result = (*filter)(args, kwargs, env);
    detail::countWork((args.empty() ? 0 : workOf(args[0])) + workOf(result));
    return result;
  }
  throw JinjaError::runtime("Unknown filter: " + std::string(name.text));
}

// A function variable of that name first, then the built-in test.
bool applyTest(const HashedText& name, const Arguments& args, const EnvironmentRef& env) {
  if (const Value* bound = env->find(name); bound && bound->isFunction()) {
    const Value function = *bound;  // the call may write to the scope that holds it
    Value result = function.asFunction()(args, {}, env);
    return result.isBoolean() ? result.asBool() : result.isTruthy();
  }
  if (const TestFunction* test = Tests::find(name)) {
    const bool answer = (*test)(args, {}, env);
    detail::countWork(args.empty() ? 0 : workOf(args[0]));
    return answer;
  }
  throw JinjaError::runtime("Unknown test: " + std::string(name.text));
}

const HashedText& loopKey() {
  static const HashedText key("loop");
  return key;
}

const HashedText& callerKey() {
  static const HashedText key("caller");
  return key;
}

std::string debugForm(const Expression& expression) {
  std::ostringstream out;
  out << expression;
  return out.str();
}

// `names`: the target's names with their hashes.
using LoopNames = detail::SmallVector<HashedText, 4>;

// A group of the groupby filter, {grouper: key, list: items}, which a loop of two names unpacks.
bool isGroup(const Value& item) {
  if (!item.isObject() || item.asObject().size() != 2) return false;
  const auto& keys = item.asObject().keys();
  return keys[0] == "grouper" && keys[1] == "list";
}

void bindLoopTarget(const Statement::LoopVar& target, const LoopNames& names, const Value& item,
                    Environment& loop, Value::Kind sequenceKind, const Value* entryValue) {
  if (target.kind() == Statement::LoopVar::Kind::single) {
    loop.set(names[0], item);
    return;
  }
  switch (sequenceKind) {
    case Value::Kind::array:
      if (isGroup(item)) {
        for (std::size_t k = 0; k < names.size(); ++k)
          loop.set(names[k], k < 2 ? item.asObject().values()[k] : Value::undefined());
        return;
      }
      if (!item.isArray()) return;
      for (std::size_t k = 0; k < names.size(); ++k)
        loop.set(names[k], k < item.asArray().size() ? item.asArray()[k] : Value::undefined());
      return;
    case Value::Kind::string:
      for (std::size_t k = 0; k < names.size(); ++k) loop.set(names[k], k == 0 ? item : Value::undefined());
      return;
    default:  // object: key, value
      for (std::size_t k = 0; k < names.size(); ++k)
        loop.set(names[k], k == 0 ? item : k == 1 ? *entryValue : Value::undefined());
      return;
  }
}

// A loop's test picks its items before the body runs, so that the loop object counts only those
// and the else branch runs when none passes. The test sees the target but not this loop's object:
// `loop` there is the enclosing loop's. [1, 2, 3] if x != 3 => items 0 and 1, loop.last on 2.
void executeFor(const Statement::For& loop, const EnvironmentRef& env, std::string& into) {
  // `sequence` keeps the iterated storage alive and unchanged: writes in the body copy on write.
  const Value sequence = Interpreter::evaluateExpression(loop.iterable, env);
  std::vector<Value> characters;
  std::string storage;
  std::size_t count = 0;
  switch (sequence.kind()) {
    case Value::Kind::array: count = sequence.asArray().size(); break;
    case Value::Kind::string:
      for (std::string_view c : detail::characters(sequence.asString(), storage)) characters.emplace_back(c);
      count = characters.size();
      break;
    case Value::Kind::object: count = sequence.asObject().size(); break;
    case Value::Kind::undefined: break;  // as an empty list: a template may loop over a variable it was not given
    default: throw JinjaError::runtime("Cannot iterate over non-iterable value");
  }
  if (count == 0) {
    Interpreter::interpret(loop.elseBody, env, into);
    return;
  }
  EnvironmentRef scope = Environment::make(env);
  LoopNames names;
  names.reserve(loop.loopVar.names().size());
  for (std::size_t k = 0; k < loop.loopVar.names().size(); ++k)
    names.emplace_back(loop.loopVar.names()[k], loop.loopVar.nameHashes()[k]);
  auto bind = [&](std::size_t i) {
    switch (sequence.kind()) {
      case Value::Kind::array:
        bindLoopTarget(loop.loopVar, names, sequence.asArray()[i], *scope, Value::Kind::array, nullptr);
        break;
      case Value::Kind::string:
        bindLoopTarget(loop.loopVar, names, characters[i], *scope, Value::Kind::string, nullptr);
        break;
      default:
        bindLoopTarget(loop.loopVar, names, Value(sequence.asObject().keys()[i]), *scope, Value::Kind::object,
                       &sequence.asObject().values()[i]);
        break;
    }
  };
  std::vector<std::size_t> picked;  // with a test: the positions that pass it
  if (loop.test) {
    for (std::size_t i = 0; i < count; ++i) {
      bind(i);
      tick();
      if (Interpreter::evaluateExpression(*loop.test, scope).isTruthy()) picked.push_back(i);
    }
    if (picked.empty()) {
      Interpreter::interpret(loop.elseBody, env, into);
      return;
    }
  }
  const std::size_t total = loop.test ? picked.size() : count;
  for (std::size_t k = 0; k < total; ++k) {
    bind(loop.test ? picked[k] : k);
    tick();
    scope->set(loopKey(), Interpreter::makeLoopObject(k, total));
    try {
      Interpreter::interpret(loop.body, scope, into);
    } catch (ControlFlow signal) {
      if (signal == ControlFlow::break_) break;
    }
  }
}

bool isConcatenation(const Expression& e) {
  const auto* binary = e.getIf<Expression::Binary>();
  return binary && (binary->op == Expression::BinaryOp::add || binary->op == Expression::BinaryOp::concat);
}

// Writes the value of a chain `a + b ~ c` to `into`. Once the running value is a string, each
// further step appends the next operand's printed form, so the rest goes straight to the output
// instead of through a growing string. Operands are evaluated left to right, as ever.
void appendConcatenation(const Expression& chain, const EnvironmentRef& env, std::string& into) {
  constexpr std::size_t maxSteps = 16;
  std::array<const Expression::Binary*, maxSteps> steps;  // outermost first
  std::size_t count = 0;
  const Expression* leftmost = &chain;
  while (isConcatenation(*leftmost)) {
    if (count == maxSteps) {
      Interpreter::evaluateExpression(chain, env).appendDescription(into);
      return;
    }
    steps[count] = &leftmost->as<Expression::Binary>();
    leftmost = &steps[count++]->left;
  }
  DepthGuard guard;
  Value running;  // the value so far, until it is a string
  bool streaming = false;
  {
    Value storage;
    const Value* first = inPlace(*leftmost, env, storage);
    streaming = first->isString();
    if (streaming) into += first->asString();
    else running = first == &storage ? std::move(storage) : *first;
  }
  for (std::size_t k = count; k-- > 0;) {
    const Expression::Binary& step = *steps[k];
    if (streaming) {
      withValue(step.right, env, [&into](const Value& right) {
        if (right.isString()) {  // before it grows
          checkStringCap(into.size() + right.asString().size());
          detail::requireMemory(right.asString().size());
        }
        right.appendDescription(into);
      });
      checkStringCap(into.size());
      continue;
    }
    running = withValue(step.right, env, [&](const Value& right) {
      return Interpreter::evaluateBinaryValues(step.op, running, right);
    });
    if (running.isString()) {
      into += running.asString();
      streaming = true;
    }
  }
  if (!streaming) running.appendDescription(into);
}

// Whether evaluating `e` can neither write to a scope nor read the variable `name`: no calls, and
// no filter or test that a function variable of the scope provides.
bool cannotWriteNorRead(const Expression& e, const std::string& name, const EnvironmentRef& env) {
  auto all = [&](const std::vector<Expression>& list) {
    for (const Expression& x : list)
      if (!cannotWriteNorRead(x, name, env)) return false;
    return true;
  };
  auto allKeywords = [&](const Expression::KeywordMap& map) {
    for (const auto& [key, x] : map)
      if (!cannotWriteNorRead(x, name, env)) return false;
    return true;
  };
  auto optional = [&](const std::optional<Expression>& x) { return !x || cannotWriteNorRead(*x, name, env); };
  auto builtIn = [&](const std::string& filter, std::size_t hash) {
    const Value* bound = env->find(HashedText(filter, hash));
    return !bound || !bound->isFunction();
  };
  switch (e.kind()) {
    case Expression::Kind::string:
    case Expression::Kind::number:
    case Expression::Kind::integer:
    case Expression::Kind::boolean:
    case Expression::Kind::null: return true;
    case Expression::Kind::identifier: return e.as<Expression::Identifier>().name != name;
    case Expression::Kind::member: {
      const auto& member = e.as<Expression::Member>();
      return cannotWriteNorRead(member.object, name, env) &&
             (!member.computed || cannotWriteNorRead(member.property, name, env));
    }
    case Expression::Kind::unary: {
      const auto& unary = e.as<Expression::Unary>();
      return unary.op != Expression::UnaryOp::splat && cannotWriteNorRead(unary.operand, name, env);
    }
    case Expression::Kind::binary: {
      const auto& binary = e.as<Expression::Binary>();
      return cannotWriteNorRead(binary.left, name, env) && cannotWriteNorRead(binary.right, name, env);
    }
    case Expression::Kind::ternary: {
      const auto& ternary = e.as<Expression::Ternary>();
      return cannotWriteNorRead(ternary.test, name, env) && cannotWriteNorRead(ternary.value, name, env) &&
             optional(ternary.alternate);
    }
    case Expression::Kind::array: return all(e.as<Expression::Array>().elements);
    case Expression::Kind::tuple: return all(e.as<Expression::Tuple>().elements);
    case Expression::Kind::object: {
      for (const Expression& x : e.as<Expression::Object>().entries.values())
        if (!cannotWriteNorRead(x, name, env)) return false;
      return true;
    }
    case Expression::Kind::slice: {
      const auto& slice = e.as<Expression::Slice>();
      return cannotWriteNorRead(slice.object, name, env) && optional(slice.start) && optional(slice.stop) &&
             optional(slice.step);
    }
    case Expression::Kind::filter: {
      const auto& filter = e.as<Expression::Filter>();
      return builtIn(filter.name, filter.nameHash) && cannotWriteNorRead(filter.operand, name, env) &&
             all(filter.args) && allKeywords(filter.kwargs);
    }
    case Expression::Kind::test: {
      const auto& test = e.as<Expression::Test>();
      return builtIn(test.name, test.nameHash) && cannotWriteNorRead(test.operand, name, env) && all(test.args);
    }
    case Expression::Kind::call: return false;
  }
  return false;
}

// The names of `x` or `ns.x` (owner null for a plain variable); false for any other expression.
bool placeNames(const Expression& e, const Expression::Identifier*& owner, const Expression::Identifier*& field) {
  if (const auto* identifier = e.getIf<Expression::Identifier>()) {
    owner = nullptr;
    field = identifier;
    return true;
  }
  const auto* member = e.getIf<Expression::Member>();
  if (!member || member->computed) return false;
  owner = member->object.getIf<Expression::Identifier>();
  field = member->property.getIf<Expression::Identifier>();
  return owner && field;
}

// `set x = x ~ a ~ b` and `set ns.x = ns.x + a` where x holds a string that the set writes back to
// where it is stored: the operands are appended there, so a text grown piece by piece is not
// copied whole at every step. Only operands that can neither write to a scope nor read x (or ns)
// qualify, so the result is the one of evaluating the chain; false leaves the set to `assign`.
bool appendInPlace(const Expression& target, const Expression& value, const EnvironmentRef& env) {
  constexpr std::size_t maxSteps = 16;
  std::array<const Expression*, maxSteps> operands;  // right operands, outermost first
  std::size_t count = 0;
  const Expression* leftmost = &value;
  while (isConcatenation(*leftmost)) {
    if (count == maxSteps) return false;
    const auto& binary = leftmost->as<Expression::Binary>();
    operands[count++] = &binary.right;
    leftmost = &binary.left;
  }
  if (count == 0) return false;
  const Expression::Identifier *owner, *field, *readOwner, *readField;
  if (!placeNames(target, owner, field) || !placeNames(*leftmost, readOwner, readField)) return false;
  if ((owner == nullptr) != (readOwner == nullptr) || (owner && owner->name != readOwner->name) ||
      field->name != readField->name)
    return false;
  // `ns.items` reads the object's method, not the stored member that the set writes.
  if (owner && PropertyMembers::isObjectMethod(field->name)) return false;
  const std::string& root = owner ? owner->name : field->name;
  for (std::size_t k = 0; k < count; ++k)
    if (!cannotWriteNorRead(*operands[k], root, env)) return false;
  Value* slot = nullptr;
  if (owner) {
    // The binding `assign` writes to is the one the read sees: the nearest scope's.
    Value* bound = env->findInScopes(HashedText(owner->name, owner->nameHash));
    if (bound && bound->isObject()) slot = bound->memberForWriting(field->name);
  } else {
    slot = env->variables.find(HashedText(field->name, field->nameHash));  // a set writes this scope's own variable
  }
  if (!slot || !slot->isString()) return false;
  for (std::size_t k = count; k-- > 0;)
    withValue(*operands[k], env, [slot](const Value& right) { slot->appendToString(right); });
  return true;
}

void executeFilterBlock(const Statement::Filter& block, const EnvironmentRef& env, std::string& into) {
  BodyText body;
  Interpreter::interpret(block.body, env, body.text());
  detail::MemoryCharge charge(body.text().size());
  std::optional<HashedText> name;
  Arguments args{Value(body.take())};
  if (const auto* identifier = block.filterExpr.getIf<Expression::Identifier>()) {
    name.emplace(identifier->name, identifier->nameHash);
  } else if (const auto* filter = block.filterExpr.getIf<Expression::Filter>()) {
    name.emplace(filter->name, filter->nameHash);
    for (const Expression& arg : filter->args) {
      args.push_back(Interpreter::evaluateExpression(arg, env));
      charge.grow(textBytes(args.back()));
    }
  } else {
    throw JinjaError::runtime("Invalid filter expression in filter statement");
  }
  const Value result = applyFilter(*name, args, {}, env);
  appendCharged(into, [&] { result.appendDescription(into); });
}

void executeCallBlock(const Statement::Call& block, const EnvironmentRef& env, std::string& into) {
  const Expression* callee = &block.callable;
  const std::vector<Expression>* argExpressions = nullptr;
  const Expression::KeywordMap* kwargExpressions = nullptr;
  if (const auto* call = block.callable.getIf<Expression::Call>()) {
    callee = &call->callee;
    argExpressions = &call->args;
    kwargExpressions = &call->kwargs;
  }
  Value target = Interpreter::evaluateExpression(*callee, env);
  EnvironmentRef scope = Environment::make(env);
  // The caller holds the call site's scope, its parameter list and its body (shared with the tree).
  auto callerArgs = block.callerArgs;
  Nodes body = block.body;
  scope->set(callerKey(), Value(Function([env, callerArgs, body](const Arguments& args, const KeywordArguments&,
                                                               const EnvironmentRef&) -> Value {
    DepthGuard guard;
    tick();
    EnvironmentRef callerScope = Environment::make(env);
    if (callerArgs) {
      for (std::size_t k = 0; k < callerArgs->size() && k < args.size(); ++k) {
        const auto* name = (*callerArgs)[k].getIf<Expression::Identifier>();
        if (!name) throw JinjaError::runtime("Caller parameter must be an identifier");
        callerScope->set(name->name, args[k]);
      }
    }
    BodyText out;
    Interpreter::interpret(body, callerScope, out.text());
    return Value(out.take());
  })));
  Arguments args;
  detail::MemoryCharge charge;
  if (argExpressions)
    for (const Expression& arg : *argExpressions) {
      args.push_back(Interpreter::evaluateExpression(arg, env));
      charge.grow(textBytes(args.back()));
    }
  KeywordArguments kwargs;
  if (kwargExpressions) kwargs = evaluateKeywords(*kwargExpressions, env, charge);
  const Value result = callValue(target, args, kwargs, scope);
  appendCharged(into, [&] { result.appendDescription(into); });
}

}  // namespace

// ---- nodes and statements ---------------------------------------------------------------------

std::string Interpreter::interpret(const Nodes& nodes, const Environment& environment) {
  return renderRoot(nodes, Environment::rootFrom(environment));
}

std::string Interpreter::renderRoot(const Nodes& nodes, const EnvironmentRef& root,
                                    std::chrono::milliseconds timeLimit, std::size_t memoryLimit) {
  ClockGuard clock(timeLimit);
  MemoryGuard memory(memoryLimit);
  std::string out;
  out.reserve(1024);
  try {
    interpret(nodes, root, out);
  } catch (ControlFlow signal) {
    throw JinjaError::runtime(signal == ControlFlow::break_ ? "'break' outside a loop" : "'continue' outside a loop");
  } catch (const std::bad_alloc&) {
    throw JinjaError::runtime("Rendering ran out of memory");
  }
  return out;
}

void Interpreter::interpret(const Nodes& nodes, const EnvironmentRef& env, std::string& into) {
  for (const Node& node : nodes) interpretNode(node, env, into);
}

void Interpreter::interpretNode(const Node& node, const EnvironmentRef& env, std::string& into) {
  switch (node.kind()) {
    case Node::Kind::text: appendCharged(into, [&] { into += node.text(); }); break;
    case Node::Kind::expression: {
      appendCharged(into, [&] {
        if (isConcatenation(node.expression())) {
          appendConcatenation(node.expression(), env, into);
          return;
        }
        withValue(node.expression(), env, [&into](const Value& value) { value.appendDescription(into); });
      });
      break;
    }
    case Node::Kind::statement: executeStatementWithOutput(node.statement(), env, into); break;
    case Node::Kind::comment: break;
  }
  checkStringCap(into.size());
}

void Interpreter::executeStatementWithOutput(const Statement& statement, const EnvironmentRef& env,
                                             std::string& into) {
  DepthGuard guard;
  switch (statement.kind()) {
    case Statement::Kind::program: interpret(statement.as<Statement::Program>().body, env, into); return;
    case Statement::Kind::set: {
      const auto& set = statement.as<Statement::Set>();
      if (set.value) {
        if (appendInPlace(set.target, *set.value, env)) return;
        assign(set.target, evaluateExpression(*set.value, env), env);
      } else {
        if (set.target.kind() == Expression::Kind::filter)
          throw JinjaError::runtime("Filters on set blocks ({% set x | f %}) are not supported");
        BodyText body;
        interpret(set.body, env, body.text());
        assign(set.target, Value(body.take()), env);
      }
      return;
    }
    case Statement::Kind::if_: {
      const auto& branch = statement.as<Statement::If>();
      bool taken = withValue(branch.test, env, [](const Value& value) { return value.isTruthy(); });
      interpret(taken ? branch.body : branch.alternate, env, into);
      return;
    }
    case Statement::Kind::for_: executeFor(statement.as<Statement::For>(), env, into); return;
    case Statement::Kind::macro: {
      const auto& m = statement.as<Statement::Macro>();
      env->set(HashedText(m.value->name(), m.value->nameHash()), Value(m.value));
      return;
    }
    case Statement::Kind::call: executeCallBlock(statement.as<Statement::Call>(), env, into); return;
    case Statement::Kind::filter: executeFilterBlock(statement.as<Statement::Filter>(), env, into); return;
    case Statement::Kind::generation: interpret(statement.as<Statement::Generation>().body, env, into); return;
    case Statement::Kind::break_: throw ControlFlow::break_;
    case Statement::Kind::continue_: throw ControlFlow::continue_;
  }
}

void Interpreter::assign(const Expression& target, Value value, const EnvironmentRef& env) {
  switch (target.kind()) {
    case Expression::Kind::identifier: {
      const auto& identifier = target.as<Expression::Identifier>();
      env->set(HashedText(identifier.name, identifier.nameHash), std::move(value));
      return;
    }
    case Expression::Kind::tuple: {
      const auto& targets = target.as<Expression::Tuple>().elements;
      if (!value.isArray()) throw JinjaError::runtime("Cannot unpack non-array value for tuple assignment.");
      const auto& elements = value.asArray();
      if (targets.size() != elements.size())
        throw JinjaError::runtime("Tuple assignment mismatch: " + std::to_string(targets.size()) + " variables and " +
                                  std::to_string(elements.size()) + " values.");
      for (std::size_t i = 0; i < targets.size(); ++i) assign(targets[i], elements[i], env);
      return;
    }
    case Expression::Kind::member: {
      const auto& member = target.as<Expression::Member>();
      const auto* owner = member.object.getIf<Expression::Identifier>();
      const auto* field = member.property.getIf<Expression::Identifier>();
      if (owner && field && !member.computed) {
        // `name.key = value` with `name` bound in a scope: the object is written where it is bound,
        // not copied out and back (the write still copies it when it is shared).
        if (Value* bound = env->findInScopes(HashedText(owner->name, owner->nameHash))) {
          if (!bound->isObject()) return;
          Value object = std::move(*bound);
          try {
            object.setMember(field->name, std::move(value));
          } catch (...) {
            *bound = std::move(object);
            throw;
          }
          *bound = std::move(object);
          return;
        }
      }
      Value object = evaluateExpression(member.object, env);
      std::string key;
      if (member.computed) {
        Value computed = evaluateExpression(member.property, env);
        if (!computed.isString()) throw JinjaError::runtime("Computed property key must be a string");
        key = computed.asString();
      } else {
        const auto* name = member.property.getIf<Expression::Identifier>();
        if (!name) throw JinjaError::runtime("Property assignment requires identifier");
        key = name->name;
      }
      if (!object.isObject()) return;
      object.setMember(key, std::move(value));
      if (const auto* name = member.object.getIf<Expression::Identifier>()) env->setInChain(name->name, std::move(object));
      return;
    }
    default: throw JinjaError::runtime("Invalid target for assignment: " + debugForm(target));
  }
}

namespace {

Value buildLoopObject(std::size_t index, std::size_t totalCount) {
  auto i = static_cast<std::int64_t>(index);
  auto n = static_cast<std::int64_t>(totalCount);
  // One key set for every loop object: its keys are distinct, and copies share it.
  static const Value::Object::Keys keys = [] {
    Value::Object prototype;
    for (const char* key : {"index", "index0", "first", "last", "length", "revindex", "revindex0", "cycle"})
      prototype.set(key, Value());
    return prototype.keys();
  }();
  std::vector<Value> values;
  values.reserve(8);
  for (std::int64_t number : {i + 1, i}) values.emplace_back(number);
  values.emplace_back(i == 0);
  values.emplace_back(i + 1 == n);
  for (std::int64_t number : {n, n - i, n - i - 1}) values.emplace_back(number);
  values.emplace_back(Function([index](const Arguments& args, const KeywordArguments&, const EnvironmentRef&) {
    return args.empty() ? Value("") : args[index % args.size()];
  }));
  Value::Object loop = Value::Object::uncheckedUniqueKeys(keys, std::move(values));
  return Value(std::move(loop));
}

}  // namespace

Value Interpreter::makeLoopObject(std::size_t index, std::size_t totalCount) {
  // A loop object depends on nothing but its two numbers and no one can tell two equal ones apart
  // (a write copies it first), so each thread keeps those of loops up to `cachedLength` long.
  constexpr std::size_t cachedLength = 16;
  if (totalCount > cachedLength || index >= totalCount) return buildLoopObject(index, totalCount);
  thread_local std::vector<Value> cache(cachedLength * (cachedLength + 1) / 2);  // by (count, index)
  Value& slot = cache[totalCount * (totalCount - 1) / 2 + index];
  if (!slot.isObject()) slot = buildLoopObject(index, totalCount);
  return slot;
}

// ---- expressions ------------------------------------------------------------------------------

Value Interpreter::evaluateExpression(const Expression& expression, const EnvironmentRef& env) {
  DepthGuard guard;
  switch (expression.kind()) {
    case Expression::Kind::string: return *expression.as<Expression::String>().constant;
    case Expression::Kind::number: return Value(expression.as<Expression::Number>().value);
    case Expression::Kind::integer: return Value(expression.as<Expression::Integer>().value);
    case Expression::Kind::boolean: return Value(expression.as<Expression::Boolean>().value);
    case Expression::Kind::null: return Value();
    case Expression::Kind::array:
    case Expression::Kind::tuple: {
      const auto& elements = expression.kind() == Expression::Kind::array ? expression.as<Expression::Array>().elements
                                                                          : expression.as<Expression::Tuple>().elements;
      Value::Array out;
      out.reserve(elements.size());
      detail::MemoryCharge charge;  // the strings gathered so far, until the array holds them
      for (const Expression& element : elements) {
        out.push_back(evaluateExpression(element, env));
        charge.grow(textBytes(out.back()));
      }
      charge.shrink(std::numeric_limits<std::size_t>::max());
      return Value(std::move(out));
    }
    case Expression::Kind::object: {
      const auto& entries = expression.as<Expression::Object>().entries;
      Value::Object out;
      out.reserveCapacity(entries.size());
      detail::MemoryCharge charge;  // the strings gathered so far, until the object holds them
      for (std::size_t i = 0; i < entries.size(); ++i) {
        Value value = evaluateExpression(entries.values()[i], env);
        charge.grow(textBytes(value));
        out.set(entries.keys()[i], std::move(value));
      }
      charge.shrink(std::numeric_limits<std::size_t>::max());
      return Value(std::move(out));
    }
    case Expression::Kind::identifier: {
      const auto& identifier = expression.as<Expression::Identifier>();
      const Value* bound = env->find(HashedText(identifier.name, identifier.nameHash));
      if (bound) return *bound;
      return Value::undefined();
    }
    case Expression::Kind::unary: {
      const auto& unary = expression.as<Expression::Unary>();
      if (unary.op == Expression::UnaryOp::splat)
        throw JinjaError::runtime("Unpacking operator can only be used in function calls");
      return withValue(unary.operand, env, [&unary](const Value& value) { return evaluateUnaryValue(unary.op, value); });
    }
    case Expression::Kind::binary: {
      const auto& binary = expression.as<Expression::Binary>();
      if (binary.op == Expression::BinaryOp::and_)
        return withValue(binary.left, env, [&](const Value& left) {
          return left.isTruthy() ? evaluateExpression(binary.right, env) : left;
        });
      if (binary.op == Expression::BinaryOp::or_)
        return withValue(binary.left, env, [&](const Value& left) {
          return left.isTruthy() ? left : evaluateExpression(binary.right, env);
        });
      const Expression::Kind leftKind = binary.left.kind();
      if ((binary.op == Expression::BinaryOp::add || binary.op == Expression::BinaryOp::concat) &&
          leftKind != Expression::Kind::identifier && leftKind != Expression::Kind::member &&
          leftKind != Expression::Kind::string) {
        // A computed string on the left (as in a chain a + b + c) grows in place.
        Value left = evaluateExpression(binary.left, env);
        return withValue(binary.right, env, [&](const Value& right) {
          return left.appendToString(right) ? std::move(left) : evaluateBinaryValues(binary.op, left, right);
        });
      }
      auto withRight = [&](const Value& left) {
        return withValue(binary.right, env, [&](const Value& right) { return evaluateBinaryValues(binary.op, left, right); });
      };
      // The left value is read in place only when evaluating the right one cannot write to a scope.
      if (readsOnly(binary.right)) return withValue(binary.left, env, withRight);
      return withRight(evaluateExpression(binary.left, env));
    }
    case Expression::Kind::ternary: {
      const auto& ternary = expression.as<Expression::Ternary>();
      if (withValue(ternary.test, env, [](const Value& value) { return value.isTruthy(); }))
        return evaluateExpression(ternary.value, env);
      return ternary.alternate ? evaluateExpression(*ternary.alternate, env) : Value();
    }
    case Expression::Kind::call: {
      const auto& call = expression.as<Expression::Call>();
      const auto* member = call.callee.getIf<Expression::Member>();
      if (member && !member->computed && member->property.kind() == Expression::Kind::identifier)
        return callMember(call, *member, env);
      Value callee = evaluateExpression(call.callee, env);
      ArgumentList list;
      detail::MemoryCharge charge;
      evaluateArguments(call.args, env, *list, charge);
      const KeywordArguments kwargs = evaluateKeywords(call.kwargs, env, charge);
      return callValue(callee, *list, kwargs, env);
    }
    case Expression::Kind::member: {
      const auto& member = expression.as<Expression::Member>();
      if (hasPlainKey(member)) {
        Value storage;
        const Value* found = evaluateInPlace(expression, env, storage);
        return found == &storage ? std::move(storage) : *found;
      }
      Value object = evaluateExpression(member.object, env);
      if (member.computed) return evaluateComputedMember(object, evaluateExpression(member.property, env));
      const auto* name = member.property.getIf<Expression::Identifier>();
      if (!name) throw JinjaError::runtime("Property access requires identifier");
      return PropertyMembers::evaluate(object, name->name);
    }
    case Expression::Kind::slice: {
      const auto& slice = expression.as<Expression::Slice>();
      return evaluateSlice(evaluateExpression(slice.object, env), slice.start, slice.stop, slice.step, env);
    }
    case Expression::Kind::filter: {
      const auto& filter = expression.as<Expression::Filter>();
      ArgumentList list;
      Arguments& args = *list;
      args.reserve(1 + filter.args.size());
      detail::MemoryCharge charge;
      args.push_back(evaluateExpression(filter.operand, env));
      charge.grow(textBytes(args.back()));
      for (const Expression& arg : filter.args) {
        args.push_back(evaluateExpression(arg, env));
        charge.grow(textBytes(args.back()));
      }
      const KeywordArguments kwargs = evaluateKeywords(filter.kwargs, env, charge);
      return applyFilter(HashedText(filter.name, filter.nameHash), args, kwargs, env);
    }
    case Expression::Kind::test: {
      const auto& test = expression.as<Expression::Test>();
      ArgumentList list;
      Arguments& args = *list;
      args.reserve(1 + test.args.size());
      detail::MemoryCharge charge;
      args.push_back(evaluateExpression(test.operand, env));
      charge.grow(textBytes(args.back()));
      for (const Expression& arg : test.args) {
        args.push_back(evaluateExpression(arg, env));
        charge.grow(textBytes(args.back()));
      }
      return Value(applyTest(HashedText(test.name, test.nameHash), args, env) != test.negated);
    }
  }
  return Value::undefined();
}

Value Interpreter::evaluateSlice(const Value& value, const std::optional<Expression>& start,
                                 const std::optional<Expression>& stop, const std::optional<Expression>& step,
                                 const EnvironmentRef& env) {
  std::optional<Value> startValue, stopValue, stepValue;
  if (start) startValue = evaluateExpression(*start, env);
  if (stop) stopValue = evaluateExpression(*stop, env);
  if (step) stepValue = evaluateExpression(*step, env);
  std::int64_t by = 1;
  if (stepValue && stepValue->isInt()) {
    by = stepValue->asInt();
    if (by == 0) throw JinjaError::runtime("Slice step cannot be zero");
  }
  if (!value.isString() && !value.isArray()) throw JinjaError::runtime("Slice requires array or string");
  const auto n = static_cast<std::int64_t>(value.isString() ? detail::countCharacters(value.asString())
                                                            : value.asArray().size());
  auto bound = [n](const std::optional<Value>& given, std::int64_t otherwise) {
    if (!given || !given->isInt()) return otherwise;
    std::int64_t v = given->asInt();
    return v < 0 ? v + n : v;  // no overflow: n is far below the 64-bit range
  };
  std::int64_t i = bound(startValue, by > 0 ? 0 : n - 1);
  std::int64_t end = bound(stopValue, by > 0 ? n : -1);
  Value::Array outArray;
  // Positions outside 0..n-1 are skipped; jump straight to the first one inside.
  if (by > 0 && i < 0) {
    auto distance = std::uint64_t{0} - static_cast<std::uint64_t>(i);
    auto stride = static_cast<std::uint64_t>(by);
    __int128 first = static_cast<__int128>(i) + static_cast<__int128>((distance + stride - 1) / stride) * stride;
    i = first > std::numeric_limits<std::int64_t>::max() ? std::numeric_limits<std::int64_t>::max()
                                                         : static_cast<std::int64_t>(first);
  }
  if (by < 0 && i >= n) {
    auto distance = static_cast<std::uint64_t>(i - (n - 1));
    auto stride = std::uint64_t{0} - static_cast<std::uint64_t>(by);
    __int128 first = static_cast<__int128>(i) - static_cast<__int128>((distance + stride - 1) / stride) * stride;
    i = first < std::numeric_limits<std::int64_t>::min() ? std::numeric_limits<std::int64_t>::min()
                                                         : static_cast<std::int64_t>(first);
  }
  if (value.isString())
    return Value(detail::sliceCharacters(value.asString(), i, by > 0 ? std::min(end, n) : std::max<std::int64_t>(end, -1), by));
  while ((by > 0 && i < end && i < n) || (by < 0 && i > end && i >= 0)) {
    if (i >= 0 && i < n) outArray.push_back(value.asArray()[static_cast<std::size_t>(i)]);
    std::int64_t next;
    if (__builtin_add_overflow(i, by, &next))
      next = by > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
    if (next == i) break;
    i = next;
  }
  return Value(std::move(outArray));
}

bool Interpreter::evaluateTest(const std::string& name, const Arguments& args, const EnvironmentRef& env) {
  return applyTest(HashedText(name), args, env);
}

Value Interpreter::evaluateUnaryValue(Expression::UnaryOp op, const Value& operand) {
  switch (op) {
    case Expression::UnaryOp::not_: return Value(!operand.isTruthy());
    case Expression::UnaryOp::minus:
      if (operand.isInt()) {
        if (operand.asInt() == std::numeric_limits<std::int64_t>::min())
          throw JinjaError::runtime("Integer result out of range (-" + operand.description() + ")");
        return Value(-operand.asInt());
      }
      if (operand.isDouble()) return Value(-operand.asDouble());
      throw JinjaError::runtime("Cannot negate non-numeric value");
    case Expression::UnaryOp::plus:
      if (operand.isNumeric()) return operand;
      throw JinjaError::runtime("Cannot apply unary plus to non-numeric value");
    case Expression::UnaryOp::splat: throw JinjaError::runtime("Unpacking operator can only be used in function calls");
  }
  return operand;
}

Value Interpreter::evaluateBinaryValues(Expression::BinaryOp op, const Value& left, const Value& right) {
  using Op = Expression::BinaryOp;
  detail::countWork(textBytes(left) + textBytes(right));
  switch (op) {
    case Op::add: return left.add(right);
    case Op::subtract: return left.subtract(right);
    case Op::multiply: return left.multiply(right);
    case Op::divide: return left.divide(right);
    case Op::floorDivide: return left.floorDivide(right);
    case Op::power: return left.power(right);
    case Op::modulo: return left.modulo(right);
    case Op::concat: return left.concatenate(right);
    case Op::equal: return Value(left.isEquivalent(right));
    case Op::notEqual: return Value(!left.isEquivalent(right));
    case Op::less: return Value(left.compare(right) < 0);
    case Op::lessEqual: return Value(left.compare(right) <= 0);
    case Op::greater: return Value(left.compare(right) > 0);
    case Op::greaterEqual: return Value(left.compare(right) >= 0);
    case Op::and_: return left.isTruthy() ? right : left;
    case Op::or_: return left.isTruthy() ? left : right;
    case Op::in: return Value(left.isContained(right));
    case Op::notIn: return Value(!left.isContained(right));
  }
  return Value::undefined();
}

Value Interpreter::evaluateComputedMember(const Value& object, const Value& key) {
  if (object.isString() && key.isInt()) {
    std::optional<std::string> character = detail::characterAt(object.asString(), key.asInt());
    if (character) return Value(std::move(*character));
    return Value::undefined();
  }
  if (object.isArray() && key.isInt()) {
    const auto n = static_cast<std::int64_t>(object.asArray().size());
    std::int64_t i = key.asInt();
    if (i < 0) i += n;  // no overflow: a negative plus a count
    if (i < 0 || i >= n) return Value::undefined();
    return object.asArray()[static_cast<std::size_t>(i)];
  }
  if (object.isObject() && key.isString()) {
    const Value* found = object.asObject().get(key.asString());
    if (found) return detail::memberValue(*found);
    return Value::undefined();
  }
  return Value::undefined();
}

// ---- macros -----------------------------------------------------------------------------------

Value Interpreter::callMacro(const Macro& macro, const Arguments& arguments, const KeywordArguments& keywordArguments,
                             const EnvironmentRef& env) {
  DepthGuard guard;
  tick();
  EnvironmentRef scope = Environment::make(env);
  if (const Value* caller = env->find(callerKey()); caller && !caller->isUndefined()) scope->set(callerKey(), *caller);
  const auto& defaults = macro.defaults();
  for (std::size_t i = 0; i < defaults.size(); ++i)
    scope->set(defaults.keys()[i], evaluateExpression(defaults.values()[i], env));
  const auto& parameters = macro.parameters();
  for (std::size_t k = 0; k < parameters.size(); ++k) {
    const HashedText key(parameters[k], macro.parameterHashes()[k]);
    if (k < arguments.size()) {
      scope->set(key, arguments[k]);
    } else {
      const Value* bound = scope->find(key);
      if (bound) scope->set(key, *bound);
      else scope->set(key, Value::undefined());
    }
  }
  if (macro.readsVarargs()) {
    Value::Array surplus;
    if (arguments.size() > parameters.size()) surplus.assign(arguments.begin() + static_cast<std::ptrdiff_t>(parameters.size()), arguments.end());
    scope->set("varargs", Value(std::move(surplus)));
  } else if (arguments.size() > parameters.size()) {
    throw JinjaError::runtime("Macro '" + macro.name() + "' takes not more than " + std::to_string(parameters.size()) +
                              " argument(s)");
  }
  Value::Object surplusKeywords;
  for (const auto& [name, value] : keywordArguments) {
    if (std::find(parameters.begin(), parameters.end(), name) != parameters.end()) {
      scope->set(name, value);
    } else if (macro.readsKwargs()) {
      surplusKeywords.set(name, value);
    } else {
      throw JinjaError::runtime("Macro '" + macro.name() + "' takes no keyword argument '" + name + "'");
    }
  }
  if (macro.readsKwargs()) {
    surplusKeywords.sort([](const auto& a, const auto& b) { return TextLess{}(a.first, b.first); });
    scope->set("kwargs", Value(std::move(surplusKeywords)));
  }
  BodyText out;
  interpret(macro.body(), scope, out.text());
  return Value(out.take());
}

void detail::tickForWork(std::size_t units) {
  units -= renderClock.workLeft;
  renderClock.workLeft = RenderClock::workPerTick - units % RenderClock::workPerTick;
  for (std::size_t ticks = units / RenderClock::workPerTick + 1; ticks > 0; --ticks) tick();
}

void detail::throwOverMemoryBudget() {
  throw JinjaError::runtime("Rendering needs more than its memory budget of " + std::to_string(renderMemory.limit) +
                            " bytes");
}

void detail::lookAtTheClock() {
  renderClock.ticksLeft = RenderClock::ticksPerLook;
  if (renderClock.limit.count() > 0 && std::chrono::steady_clock::now() > renderClock.deadline)
    throw JinjaError::runtime("Rendering took longer than its time limit of " + std::to_string(renderClock.limit.count()) +
                              " ms");
}

}  // namespace jinja
