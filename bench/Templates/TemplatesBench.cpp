// Compiles all real chat templates of ../shared/fixtures/chat-templates (target: all 28 in at most
// 12 ms) and renders a small conversation with them (target: at least 230,000 renders per second
// over the templates; the items/s counter). Templates that refuse the conversation (two raise an
// exception for a system message) are left out of the render figure; "renderable" counts the rest.
// Prints the instruction set and the machine's load before and after.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/BenchmarkMain.h"

#include "platform/System/Json.h"
#include "templates/JinjaError.h"
#include "templates/Template.h"
#include "templates/TemplateException.h"

namespace {

std::vector<std::string> chatTemplates() {
  std::vector<std::string> out;
  std::filesystem::path folder = std::filesystem::path(PARLET_SOURCE_DIR) / ".." / "shared" / "fixtures" / "chat-templates";
  if (!std::filesystem::is_directory(folder)) return out;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() != ".jinja") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    out.push_back(text.str());
  }
  return out;
}

jinja::Template::Context conversation() {
  jinja::Template::Context context;
  context["messages"] = jinja::Value::fromAny(platform::json::parse(R"([
    {"role": "system", "content": "You are a helpful assistant."},
    {"role": "user", "content": "What is the weather in Paris?"},
    {"role": "assistant", "content": "It is sunny in Paris today."}])"));
  context["tools"] = jinja::Value::fromAny(platform::json::parse(
      R"([{"type": "function", "function": {"name": "get_weather", "description": "Current weather",
          "parameters": {"type": "object", "properties": {"city": {"type": "string"}}}}}])"));
  context["bos_token"] = jinja::Value("<s>");
  context["eos_token"] = jinja::Value("</s>");
  context["add_generation_prompt"] = jinja::Value(true);
  return context;
}

void CompileAllChatTemplates(benchmark::State& state) {
  const std::vector<std::string> sources = chatTemplates();
  if (sources.empty()) {
    state.SkipWithError("chat templates not found");
    return;
  }
  for (auto _ : state) {
    for (const std::string& source : sources) {
      jinja::Template compiled(source);
      benchmark::DoNotOptimize(compiled);
    }
  }
  state.counters["templates"] = static_cast<double>(sources.size());
}
BENCHMARK(CompileAllChatTemplates)->Unit(benchmark::kMillisecond);

void RenderChatTemplates(benchmark::State& state) {
  const jinja::Template::Context context = conversation();
  std::vector<jinja::Template> renderable;
  for (const std::string& source : chatTemplates()) {
    try {
      jinja::Template compiled(source);
      compiled.render(context);
      renderable.push_back(std::move(compiled));
    } catch (const jinja::JinjaError&) {
    } catch (const jinja::TemplateException&) {
    }
  }
  if (renderable.empty()) {
    state.SkipWithError("no chat template renders");
    return;
  }
  for (auto _ : state) {
    for (const jinja::Template& compiled : renderable) {
      std::string out = compiled.render(context);
      benchmark::DoNotOptimize(out);
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * renderable.size()));
  state.counters["renderable"] = static_cast<double>(renderable.size());
}
BENCHMARK(RenderChatTemplates)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) { return runBenchmarks(argc, argv); }
