#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "Hub/Config.h"
#include "templates/Template.h"
#include "templates/Value.h"

namespace hub {
namespace {

TEST(ConfigTemplateValueTest, ScalarsAndTokens) {
  EXPECT_TRUE(Config("abc").jinjaValue() == jinja::Value("abc"));
  EXPECT_TRUE(Config(7).jinjaValue() == jinja::Value(7));
  EXPECT_TRUE(Config(true).jinjaValue() == jinja::Value(true));
  EXPECT_TRUE(Config().jinjaValue().isNull());
  // The float's shortest text, not its exact widening (0.100000001490116).
  EXPECT_TRUE(Config(0.1f).jinjaValue() == jinja::Value(0.1));
  EXPECT_TRUE(Config(0.5f).jinjaValue() == jinja::Value(0.5));
  EXPECT_TRUE(Config(1e30f).jinjaValue() == jinja::Value(1e30));
  EXPECT_TRUE(std::isinf(Config(std::numeric_limits<float>::infinity()).jinjaValue().asDouble()));
  jinja::Value token = Config(Config::Token{7, "abc"}).jinjaValue();
  EXPECT_EQ(token.description(), "{7: abc}");
}

TEST(ConfigTemplateValueTest, ContainersRenderInTemplates) {
  Config config = Config::dictionaryOf({{"bos_token", Config::dictionaryOf({{"content", "<s>"}})},
                                        {"sizes", Config::arrayOf({1, 2.5f, "x", Config()})}});
  jinja::Value value = config.jinjaValue();
  ASSERT_TRUE(value.isObject());
  EXPECT_EQ(value.asObject().size(), 2u);
  EXPECT_EQ(jinja::Template("{{ c.bos_token.content }}|{{ c.sizes }}").render({{"c", value}}), "<s>|[1, 2.5, 'x', ]");
  // Canonically equivalent keys, distinct in the configuration, are one key of the template object.
  Config keys = Config::dictionaryOf({{"\u00e9", 1}, {"e\u0301", 2}});
  EXPECT_EQ(keys.jinjaValue().asObject().size(), 1u);
}

}  // namespace
}  // namespace hub
