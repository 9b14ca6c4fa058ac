// Chat templates of a pre-trained tokenizer: choosing the template, compiling it once, building
// the context and encoding the rendered conversation.
#include <algorithm>
#include <map>

#include "Tokenizers/PreTrainedTokenizer.h"
#include "Tokenizers/TokenizerError.h"
#include "templates/Template.h"

namespace tokenizers {
namespace {

namespace json = platform::json;

// The template text: a literal, the configuration's one template, or one of its named templates.
std::string templateText(const hub::Config& config, const ChatTemplateOptions& options) {
  if (options.chatTemplate && options.chatTemplate->kind == ChatTemplateArgument::Kind::literal)
    return options.chatTemplate->value;
  const hub::Config& stored = config["chatTemplate"];
  if (stored.isNull()) throw TokenizerError::missingChatTemplate();
  if (auto text = stored.string()) return *text;
  const hub::Config::Array* list = stored.array();
  if (!list) throw TokenizerError::missingChatTemplate();
  std::map<std::string, std::string> named;
  for (const hub::Config& element : *list) {
    auto name = element["name"].string();
    auto text = element["template"].string();
    if (name && text) named.emplace(*name, *text);
  }
  if (options.chatTemplate) {
    auto found = named.find(options.chatTemplate->value);
    if (found == named.end())
      throw TokenizerError::chatTemplate("No chat template named \"" + options.chatTemplate->value +
                                         "\" was found in the tokenizer config");
    return found->second;
  }
  if (options.tools && !options.tools->empty())
    if (auto found = named.find("tool_use"); found != named.end()) return found->second;
  if (auto found = named.find("default"); found != named.end()) return found->second;
  throw TokenizerError::missingChatTemplate();
}

// A special-token entry of the configuration as a template value, or none.
std::optional<jinja::Value> specialTokenValue(const hub::Config& entry) {
  if (entry.isNull()) return std::nullopt;
  if (auto text = entry.string()) return jinja::Value(*text);
  if (const hub::Config::Array* list = entry.array()) {
    jinja::Value::Array out;
    for (const hub::Config& element : *list)
      if (auto text = element.string()) out.emplace_back(*text);
    return jinja::Value(std::move(out));
  }
  if (entry.dictionary()) {
    if (auto content = entry["content"].string()) return jinja::Value(*content);
    return std::nullopt;
  }
  throw TokenizerError::chatTemplate("Cannot use the configuration value " + entry.description() + " in a chat template");
}

}  // namespace

std::shared_ptr<const jinja::Template> PreTrainedTokenizer::compiledTemplate(const std::string& text) const {
  {
    std::lock_guard guard(templateCache_->lock);
    if (auto found = templateCache_->compiled.find(text); found != templateCache_->compiled.end()) return found->second;
  }
  // Compiled outside the lock; the first insertion wins.
  auto fresh = std::make_shared<const jinja::Template>(text, jinja::Template::Options{});
  std::lock_guard guard(templateCache_->lock);
  return templateCache_->compiled.emplace(text, std::move(fresh)).first->second;
}

std::vector<TokenId> PreTrainedTokenizer::applyChatTemplate(const std::vector<ChatMessage>& messages,
                                                            const ChatTemplateOptions& options) const {
  std::shared_ptr<const jinja::Template> compiled = compiledTemplate(templateText(tokenizerConfig_, options));
  jinja::Template::Context context;
  jinja::Value::Array converted;
  for (const ChatMessage& message : messages) converted.push_back(jinja::Value::fromAny(message));
  context["messages"] = jinja::Value(std::move(converted));
  context["add_generation_prompt"] = jinja::Value(options.addGenerationPrompt);
  if (options.tools) {
    jinja::Value::Array tools;
    for (const json::Value& tool : *options.tools) tools.push_back(jinja::Value::fromAny(tool));
    context["tools"] = jinja::Value(std::move(tools));
  }
  if (options.additionalContext) {
    jinja::Value extra = jinja::Value::fromAny(*options.additionalContext);
    if (extra.isObject())
      for (std::size_t i = 0; i < extra.asObject().size(); ++i) context[extra.asObject().keys()[i]] = extra.asObject().values()[i];
  }
  for (const char* key : {"bos_token", "eos_token", "unk_token", "sep_token", "pad_token", "cls_token", "mask_token",
                          "additional_special_tokens"}) {
    const hub::Config* entry = tokenizerConfig_.member(key);
    if (!entry) continue;
    if (auto value = specialTokenValue(*entry)) context[key] = *value;
  }
  std::vector<TokenId> ids = encode(compiled->render(context), false);
  const auto count = static_cast<std::int64_t>(ids.size());
  std::int64_t requested = options.maxLength.value_or(count);
  std::int64_t modelLimit = tokenizerConfig_["modelMaxLength"].integer().value_or(requested);
  std::int64_t limit = std::min(modelLimit, requested);
  if (options.truncation && limit < count) ids.resize(static_cast<std::size_t>(std::max<std::int64_t>(limit, 0)));
  return ids;
}

}  // namespace tokenizers
