#include "templates/Environment.h"

#include <gtest/gtest.h>

namespace jinja {
namespace {

// Scopes, a borrowed context and the globals find a name by canonical equivalence: the ASCII
// spelling and a non-ASCII one that is canonically the same are one variable.
TEST(EnvironmentTest, FindsCanonicallyEquivalentNames) {
  const Environment::Variables context{{"caf\u00e9", Value(1)}, {"\u212a", Value(2)}};
  auto root = Environment::over(context);
  EXPECT_TRUE((*root)["cafe\u0301"] == Value(1));
  EXPECT_TRUE((*root)["K"] == Value(2));
  EXPECT_TRUE((*root)["k"].isUndefined());
  auto child = Environment::make(root);
  child->set("K", Value(3));  // shadows the context entry
  EXPECT_TRUE((*child)["\u212a"] == Value(3));
  child->set("\u212a", Value(4));  // the same variable
  EXPECT_EQ(child->variables.size(), 1u);
  EXPECT_TRUE((*child)["K"] == Value(4));
  child->setInChain("cafe\u0301", Value(5));  // not bound in a scope: lands in the root
  EXPECT_TRUE(root->variables.count("caf\u00e9"));
  EXPECT_TRUE((*child)["caf\u00e9"] == Value(5));
  EXPECT_TRUE(context.at("caf\u00e9") == Value(1));  // the context itself is never written
}

TEST(EnvironmentTest, LookupAndWrites) {
  auto root = Environment::make(nullptr, {{"range", Value("mine")}, {"r", Value(1)}});
  EXPECT_TRUE(root->variables.count("r"));
  auto child = Environment::make(root, {{"range", Value("mine")}});
  EXPECT_EQ((*child)["range"].description(), "mine");
  EXPECT_TRUE((*root)["nosuch"].isUndefined());
  auto grandchild = Environment::make(child);
  grandchild->set("r", Value(2));
  EXPECT_TRUE((*child)["r"] == Value(1));
  grandchild->setInChain("r", Value(3));  // its own
  child->setInChain("r", Value(4));       // the root's
  EXPECT_TRUE((*root)["r"] == Value(4));
  grandchild->setInChain("fresh", Value(5));
  EXPECT_TRUE(root->variables.count("fresh"));
  EXPECT_FALSE(grandchild->variables.count("fresh"));
}

// However a root scope gets its variables (made with initial ones, over a borrowed context, or as
// a copy of another scope), a name of a global function finds the global; other names remain. A
// write into the root made afterwards, as a template's own set does, replaces the global there.
TEST(EnvironmentTest, GlobalsShadowARootsInitialVariables) {
  const Environment::Variables initial{{"range", Value("mine")}, {"namespace", Value(7)}, {"r", Value(1)}};
  auto given = Environment::make(Environment::make());
  for (const auto& [name, value] : initial) given->set(name, value);
  struct Case {
    const char* how;
    EnvironmentRef root;
  };
  const Case cases[] = {
      {"made with initial variables", Environment::make(nullptr, initial)},
      {"over a context", Environment::over(initial)},
      {"copied from a scope", Environment::rootFrom(*given)},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE((*c.root)["range"].isFunction()) << c.how;
    EXPECT_TRUE((*c.root)["namespace"].isFunction()) << c.how;
    EXPECT_TRUE((*c.root)["r"] == Value(1)) << c.how;
    EXPECT_TRUE((*Environment::make(c.root))["range"].isFunction()) << c.how;
    c.root->set("range", Value("later"));
    EXPECT_EQ((*c.root)["range"].description(), "later") << c.how;
  }
}

}  // namespace
}  // namespace jinja
