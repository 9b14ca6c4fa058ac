// The real chat templates compile and render a small conversation.
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "templates/JinjaError.h"
#include "templates/Template.h"
#include "templates/TemplateException.h"
#include "templates/tests/Conversation.h"
#include "testsupport/Fixtures.h"

namespace jinja {
namespace {

std::filesystem::path folder() { return testsupport::fixturesDir() / "chat-templates"; }

std::string read(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

bool usesTools(const std::string& name, const std::string& source) {
  return name.find("tool") != std::string::npos || source.find("tools") != std::string::npos;
}

// Jinja2 (python3-jinja2 3.1, default environment) renderings of the conversation, for the
// templates where the dialects agree. The others differ from Jinja2 only where this engine's own
// rules apply: tojson writes compact or two-space "key" : value JSON, strftime_now reads today's
// date, and whitespace control around some tags.
const std::map<std::string, std::string>& goldens() {
  static const std::map<std::string, std::string> table = {
      {"chatglm.jinja",
       "[gMASK]sop<|system|>\n You are a helpful assistant.<|user|>\n What is the weather in Paris?<|assistant|>\n It "
       "is sunny in Paris today.<|assistant|>"},
      {"chatml.jinja",
       "<|im_start|>system\nYou are a helpful assistant.<|im_end|>\n<|im_start|>user\nWhat is the weather in "
       "Paris?<|im_end|>\n<|im_start|>assistant\nIt is sunny in Paris today.<|im_end|>\n<|im_start|>assistant\n"},
      {"phi-4-mini-instruct.jinja",
       "<|system|>You are a helpful assistant.<|end|><|user|>What is the weather in Paris?<|end|><|assistant|>It is "
       "sunny in Paris today.<|end|><|assistant|>"},
      {"llama-2-chat.jinja",
       "<s>[INST] <<SYS>>\nYou are a helpful assistant.\n<</SYS>>\n\nWhat is the weather in Paris? [/INST] It is sunny "
       "in Paris today. </s>"},
      {"phi-3.5-mini-instruct.jinja",
       "<|system|>\nYou are a helpful assistant.<|end|>\n<|user|>\nWhat is the weather in Paris?<|end|>\n<|assistant|>"
       "\nIt is sunny in Paris today.<|end|>\n<|assistant|>\n"},
      {"phi-3-mini-4k-instruct.jinja",
       "<|system|>\nYou are a helpful assistant.<|end|>\n<|user|>\nWhat is the weather in Paris?<|end|>\n<|assistant|>"
       "\nIt is sunny in Paris today.<|end|>\n<|assistant|>\n"},
      {"deepseek-r1-distill-llama-8b.jinja",
       "<s>You are a helpful assistant.<｜User｜>What is the weather in Paris?<｜Assistant｜>It is sunny in Pari"
       "s today.<｜end▁of▁sentence｜><｜Assistant｜><think>\n"},
      {"deepseek-v3.1.jinja",
       "<s>You are a helpful assistant.<｜User｜>What is the weather in Paris?<｜Assistant｜></think>It is sunny"
       " in Paris today.<｜end▁of▁sentence｜>"},
      {"functionary-medium-v3.2.jinja",
       "<s><|start_header_id|>system<|end_header_id|>\n\nYou are capable of executing available function(s) "
       "if required.\nOnly execute function(s) when absolutely necessary.\nAsk for the required input to:rec"
       "ipient==all\nUse JSON for function arguments.\nRespond in this format:\n>>>${recipient}\n${content}\n"
       "Available functions:\n// Supported function definitions that should be called when necessary.\nnames"
       "pace functions {\n\n// Current weather for a city\ntype get_weather = (_: {\n// City name.\ncity: st"
       "ring,\n}) => any;\n\n} // namespace functions<|eot_id|><|start_header_id|>system<|end_header_id|>\n\n"
       "You are a helpful assistant.<|eot_id|><|start_header_id|>user<|end_header_id|>\n\nWhat is the weathe"
       "r in Paris?<|eot_id|><|start_header_id|>assistant<|end_header_id|>\n\n>>>all\nIt is sunny in Paris t"
       "oday.<|eot_id|><|start_header_id|>assistant<|end_header_id|>\n\n>>>"},
      {"llama-2-chat-multiline.jinja",
       "\n    \n    \n\n\n\n    \n\n    \n        \n    \n\n    \n        <s>[INST] <<SYS>>\nYou are a helpf"
       "ul assistant.\n<</SYS>>\n\nWhat is the weather in Paris? [/INST]\n    \n\n    \n\n    \n        \n  "
       "  \n\n    \n         It is sunny in Paris today. </s>\n    \n"},
      {"llama-3-8b-instruct.jinja",
       "<s><|start_header_id|>system<|end_header_id|>\n\nYou are a helpful assistant.<|eot_id|><|start_heade"
       "r_id|>user<|end_header_id|>\n\nWhat is the weather in Paris?<|eot_id|><|start_header_id|>assistant<|"
       "end_header_id|>\n\nIt is sunny in Paris today.<|eot_id|><|start_header_id|>assistant<|end_header_id|"
       ">\n\n"},
      {"zephyr-multiline.jinja",
       "\n    \n\n\n\n    \n\n    <|system|>\nYou are a helpful assistant.</s>\n\n\n    \n\n    <|user|>\nWh"
       "at is the weather in Paris?</s>\n\n\n    \n\n    <|assistant|>\nIt is sunny in Paris today.</s>\n\n\n"
       "\n\n    <|assistant|>\n\n"},
  };
  return table;
}

// Templates that refuse the conversation on purpose, with Jinja2's message.
const std::map<std::string, std::string>& refusals() {
  static const std::map<std::string, std::string> table = {
      {"gemma-2-2b-it.jinja", "System role not supported"},
      {"mistral-7b-instruct-v0.1.jinja", "Conversation roles must alternate user/assistant/user/assistant/..."},
  };
  return table;
}

// Templates that mention tools but read them from elsewhere: a `functions` variable, or the
// system message's own tool list.
bool listsTheTools(const std::string& name) {
  return name != "firefunction-v2.jinja" && name != "phi-4-mini-instruct.jinja";
}

// Every template compiles and renders the conversation (with the tool list where it takes one), or
// refuses it as Jinja2 does; where the dialects agree the output is Jinja2's byte for byte.
TEST(ChatTemplatesTest, EveryTemplateRendersTheConversation) {
  PARLET_REQUIRE_FIXTURE(folder());
  int count = 0, compared = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder())) {
    if (entry.path().extension() != ".jinja") continue;
    ++count;
    const std::string name = entry.path().filename().string();
    const std::string source = read(entry.path());
    const bool tools = usesTools(name, source);
    try {
      std::string out = Template(source).render(testing_conversation::conversation(tools));
      EXPECT_EQ(refusals().count(name), 0u) << name << " rendered instead of refusing";
      EXPECT_NE(out.find("It is sunny in Paris today."), std::string::npos) << name;
      if (tools && listsTheTools(name)) {
        EXPECT_NE(out.find("get_weather"), std::string::npos) << name;
      }
      if (auto golden = goldens().find(name); golden != goldens().end()) {
        EXPECT_EQ(out, golden->second) << name;
        ++compared;
      }
    } catch (const TemplateException& e) {
      auto refusal = refusals().find(name);
      ASSERT_NE(refusal, refusals().end()) << name << ": " << e.what();
      EXPECT_EQ(e.what(), refusal->second) << name;
    } catch (const JinjaError& e) {
      ADD_FAILURE() << name << ": " << e.what();
    }
  }
  EXPECT_EQ(count, 28) << "chat templates in " << folder();
  EXPECT_EQ(compared, static_cast<int>(goldens().size()));
}

// Two conversations of our own: a plain chat with a system message, and one question with a tool
// list. `date_string` fixes the date of the Llama templates.
Template::Context conversationNamed(const std::string& name) {
  namespace json = platform::json;
  const char* plain = R"({"messages": [{"role": "system", "content": "Be brief."}, {"role": "user", "content": "Hi!"},
      {"role": "assistant", "content": "Hello."}, {"role": "user", "content": "Weather?"}]})";
  const char* tools = R"({"messages": [{"role": "user", "content": "Weather in Paris?"}],
      "tools": [{"type": "function", "function": {"name": "get_weather", "description": "Weather for a city",
        "parameters": {"type": "object", "properties": {"city": {"type": "string"}}, "required": ["city"]}}}]})";
  Template::Context context;
  const json::Value document = json::parse(name == "plain" ? plain : tools);
  for (const auto& [key, value] : document.asObject()) context[key] = Value::fromAny(value);
  context["bos_token"] = Value("<s>");
  context["eos_token"] = Value("</s>");
  context["add_generation_prompt"] = Value(true);
  context["date_string"] = Value("26 Jul 2024");
  return context;
}

// Templates that trim around comments with "{#-" and "-#}" and loop over `tools` (also when the
// conversation has none), rendered by Jinja2 3.1 (default environment, raise_exception, and
// strftime_now giving 2026-01-01) over the conversations above.
TEST(ChatTemplatesTest, TrimmedCommentsAndToolLoopsRenderAsJinja2) {
  PARLET_REQUIRE_FIXTURE(folder());
  struct Golden {
    const char* file;
    const char* conversation;
    const char* expected;
  };
  const Golden goldens[] = {
      {"llama-3.1-8b-instruct.jinja", "plain",
       "<s><|start_header_id|>system<|end_header_id|>\n\nCutting Knowledge Date: December 2023\nToday Date: "
       "26 Jul 2024\n\nBe brief.<|eot_id|><|start_header_id|>user<|end_header_id|>\n\nHi!<|eot_id|><|start_h"
       "eader_id|>assistant<|end_header_id|>\n\nHello.<|eot_id|><|start_header_id|>user<|end_header_id|>\n\n"
       "Weather?<|eot_id|><|start_header_id|>assistant<|end_header_id|>\n\n"},
      {"llama-3.2-3b-instruct.jinja", "plain",
       "<s><|start_header_id|>system<|end_header_id|>\n\nCutting Knowledge Date: December 2023\nToday Date: "
       "26 Jul 2024\n\nBe brief.<|eot_id|><|start_header_id|>user<|end_header_id|>\n\nHi!<|eot_id|><|start_h"
       "eader_id|>assistant<|end_header_id|>\n\nHello.<|eot_id|><|start_header_id|>user<|end_header_id|>\n\n"
       "Weather?<|eot_id|><|start_header_id|>assistant<|end_header_id|>\n\n"},
      {"mistral-nemo-instruct-2407.jinja", "plain",
       "<s>[INST]Hi![/INST]Hello.</s>[INST]Be brief.\n\nWeather?[/INST]"},
      {"gpt-oss-120b.jinja", "plain",
       "<|start|>system<|message|>You are ChatGPT, a large language model trained by OpenAI.\nKnowledge cuto"
       "ff: 2024-06\nCurrent date: 2026-01-01\n\nReasoning: medium\n\n# Valid channels: analysis, commentary"
       ", final. Channel must be included for every message.<|end|><|start|>developer<|message|># Instructio"
       "ns\n\nBe brief.\n\n<|end|><|start|>user<|message|>Hi!<|end|><|start|>assistant<|channel|>final<|mess"
       "age|>Hello.<|end|><|start|>user<|message|>Weather?<|end|><|start|>assistant"},
      {"gpt-oss-120b.jinja", "tools",
       "<|start|>system<|message|>You are ChatGPT, a large language model trained by OpenAI.\nKnowledge cuto"
       "ff: 2024-06\nCurrent date: 2026-01-01\n\nReasoning: medium\n\n# Valid channels: analysis, commentary"
       ", final. Channel must be included for every message.\nCalls to these tools must go to the commentary"
       " channel: 'functions'.<|end|><|start|>developer<|message|># Tools\n\n## functions\n\nnamespace funct"
       "ions {\n\n// Weather for a city\ntype get_weather = (_: {\ncity: string,\n}) => any;\n\n} // namespa"
       "ce functions<|end|><|start|>user<|message|>Weather in Paris?<|end|><|start|>assistant"},
      {"command-r-plus-tool-use.jinja", "plain",
       "<s><|START_OF_TURN_TOKEN|><|SYSTEM_TOKEN|># Safety Preamble\nThe instructions in this section overri"
       "de those in the task description and style guide sections. Don't answer questions that are harmful o"
       "r immoral.\n\n# System Preamble\n## Basic Rules\nYou are a powerful conversational AI trained by Coh"
       "ere to help people. You are augmented by a number of tools, and your job is to use and consume the o"
       "utput of these tools to best help the user. You will see a conversation history between yourself and"
       " a user, ending with an utterance from the user. You will then see a specific instruction instructin"
       "g you what kind of response to generate. When you answer the user's requests, you cite your sources "
       "in your answers, according to those instructions.\n\n# User Preamble\nBe brief.\n\n## Available Tool"
       "s\nHere is a list of tools that you have available to you:\n\n<|END_OF_TURN_TOKEN|><|START_OF_TURN_T"
       "OKEN|><|USER_TOKEN|>Hi!<|END_OF_TURN_TOKEN|><|START_OF_TURN_TOKEN|><|CHATBOT_TOKEN|>Hello.<|END_OF_T"
       "URN_TOKEN|><|START_OF_TURN_TOKEN|><|USER_TOKEN|>Weather?<|END_OF_TURN_TOKEN|><|START_OF_TURN_TOKEN|>"
       "<|SYSTEM_TOKEN|>Write 'Action:' followed by a json-formatted list of actions that you want to perfor"
       "m in order to produce a good response to the user's last input. You can use any of the supplied tool"
       "s any number of times, but you should aim to execute the minimum number of necessary actions for the"
       " input. You should use the `directly-answer` tool if calling the other tools is unnecessary. The lis"
       "t of actions you want to call should be formatted as a list of json objects, for example:\n```json\n"
       "[\n    {\n        \"tool_name\": <action fields>\n    }\n]```<|END_OF_TURN_TOKEN|><|START_OF_TURN_T"
       "OKEN|><|CHATBOT_TOKEN|>"},
      {"hermes-2-pro-llama-3-8b-tool-use.jinja", "plain",
       "<s><|im_start|>system\nYou are a function calling AI model. You are provided with function signature"
       "s within <tools></tools> XML tags. You may call one or more functions to assist with the user query."
       " Don't make assumptions about what values to plug into functions. Here are the available tools: <too"
       "ls>  </tools>Use the following pydantic model json schema for each tool call you will make: {\"prope"
       "rties\": {\"name\": {\"title\": \"Name\", \"type\": \"string\"}, \"arguments\": {\"title\": \"Argume"
       "nts\", \"type\": \"object\"}}, \"required\": [\"name\", \"arguments\"], \"title\": \"FunctionCall\","
       " \"type\": \"object\"}}\nFor each function call return a json object with function name and argument"
       "s within <tool_call></tool_call> XML tags as follows:\n<tool_call>\n{\"name\": <function-name>, \"ar"
       "guments\": <args-dict>}\n</tool_call><|im_end|>\n<|im_start|>system\nBe brief.<|im_end|>\n<|im_start"
       "|>user\nHi!<|im_end|>\n<|im_start|>assistant\nHello.<|im_end|>\n<|im_start|>user\nWeather?<|im_end|>"
       "\n<|im_start|>assistant\n"},
  };
  for (const Golden& golden : goldens) {
    const std::filesystem::path path = folder() / golden.file;
    if (!std::filesystem::exists(path)) {
      ADD_FAILURE() << "missing fixture " << path;
      continue;
    }
    const std::string source = read(path);
    std::string expected = golden.expected;
    // The closing example's two field lines stand in the render as the template writes them.
    const std::string fields = "<action fields>", from = "\"tool_name\": ", to = "\n    }\n]";
    if (std::size_t at = expected.find(fields); at != std::string::npos) {
      const std::size_t begin = source.rfind(from), end = source.find(to, begin);
      ASSERT_NE(end, std::string::npos) << golden.file << " has no example action";
      expected.replace(at, fields.size(), source.substr(begin + from.size(), end - begin - from.size()));
    }
    std::string out = Template(source).render(conversationNamed(golden.conversation));
    // strftime_now reads today's date.
    const std::string dateLabel = "Current date: ";
    if (std::size_t at = out.find(dateLabel); at != std::string::npos && out.size() >= at + dateLabel.size() + 10)
      out.replace(at + dateLabel.size(), 10, "2026-01-01");
    EXPECT_EQ(out, expected) << golden.file << " over the " << golden.conversation << " conversation";
  }
}

}  // namespace
}  // namespace jinja
