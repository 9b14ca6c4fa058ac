#!/usr/bin/env python3
"""make-seeds.py OUT TINY_MODELS FIXTURES: writes the seed corpus of every fuzz target into OUT/<target>/.

TINY_MODELS is a folder written by make-tiny-models; FIXTURES is shared/fixtures (skipped when absent).
Fixture tokenizers are cut down to their first few hundred tokens so that each seed stays small.
"""
import json
import math
import os
import struct
import sys
import wave

MARKER = b"\n#@@part@@#\n"  # fuzz/FuzzSupport.h's part marker

out, tiny, fixtures = sys.argv[1], sys.argv[2], sys.argv[3]
here = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    folder = os.path.join(out, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def read(path):
    with open(path, "rb") as f:
        return f.read()


# JSON and configuration documents: the hand-written seeds, and every small document below.
for name in sorted(os.listdir(os.path.join(here, "seeds", "json"))):
    data = read(os.path.join(here, "seeds", "json", name))
    put("fuzz_json", name, data)
    put("fuzz_config", name, data)

# Model-support tables: a real-sized one that merges with the built-in table, one of another name,
# and one at the row bound.
def support_table(name, rows, names_per_row):
    return json.dumps({"name": name, "version": "1", "device_support": [
        {"chips": "c%d" % r, "identifiers": ["Mac%d" % r, "iPad%d,1" % r],
         "models": {"default": "m%d_0" % r, "supported": ["m%d_%d" % (r, n) for n in range(names_per_row)]}}
        for r in range(rows)]})


put("fuzz_model_support", "merged.json", support_table("murmel-coreml", 8, 20))
put("fuzz_model_support", "other.json", support_table("other", 3, 2))
put("fuzz_model_support", "at-bound.json", support_table("other", 256, 2))

# Model folders: model.json, the marker, weights.safetensors.
for folder in sorted(os.listdir(tiny)):
    path = os.path.join(tiny, folder)
    model = read(os.path.join(path, "model.json"))
    weights = os.path.join(path, "weights.safetensors")
    put("fuzz_model", folder, model + MARKER + read(weights) if os.path.exists(weights) else model)
    put("fuzz_json", folder + ".json", model)

# Audio files: PCM of several widths, rates and channel counts, float, and a truncated data chunk.
def tone(rate, channels, seconds=0.05):
    frames = int(rate * seconds)
    return [[math.sin(2 * math.pi * 440 * i / rate + c) for c in range(channels)] for i in range(frames)]


def pcm_wav(rate, channels, width):
    import io
    buf = io.BytesIO()
    with wave.open(buf, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(width)
        w.setframerate(rate)
        peak = (1 << (8 * width - 1)) - 1
        frames = bytearray()
        for frame in tone(rate, channels):
            for s in frame:
                v = int(s * peak * 0.5)
                if width == 1:
                    frames += struct.pack("<B", v + 128)
                else:
                    frames += (v & ((1 << (8 * width)) - 1)).to_bytes(width, "little")
        w.writeframes(bytes(frames))
    return buf.getvalue()


def float_wav(rate, channels):
    data = b"".join(struct.pack("<f", s * 0.5) for frame in tone(rate, channels) for s in frame)
    fmt = struct.pack("<HHIIHH", 3, channels, rate, rate * channels * 4, channels * 4, 32)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(data)) + data
    return b"RIFF" + struct.pack("<I", len(body)) + body


put("fuzz_audio", "pcm16-16k-mono.wav", pcm_wav(16000, 1, 2))
put("fuzz_audio", "pcm8-8k-stereo.wav", pcm_wav(8000, 2, 1))
put("fuzz_audio", "pcm24-44k-stereo.wav", pcm_wav(44100, 2, 3))
put("fuzz_audio", "pcm32-22k-mono.wav", pcm_wav(22050, 1, 4))
put("fuzz_audio", "float-48k-mono.wav", float_wav(48000, 1))
put("fuzz_audio", "truncated.wav", pcm_wav(16000, 1, 2)[:300])

# Text through the fixture tokenizers: one selector byte, then the text.
texts = ["Hello world", "  leading and trailing  ", "It's 12:30, don't!", "h\u00e9llo w\u00f6rld \u00df",
         "\u4f60\u597d\u4e16\u754c", "emoji \U0001f600 and \u200d joiners", "<|endoftext|> special <s></s>",
         "[CLS] Tokens [SEP] [MASK]", "tabs\tand\nnewlines\r\n", "UPPER lower MiXeD 123456789"]
for i, text in enumerate(texts):
    put("fuzz_tokenizer_text", "text%02d" % i, bytes([i % 6]) + text.encode())

if not os.path.isdir(fixtures):
    print("make-seeds: no fixtures at %s; tokenizer and template seeds are the built-in ones only" % fixtures)
    sys.exit(0)

# Chat templates as they are.
templates = os.path.join(fixtures, "chat-templates")
for name in sorted(os.listdir(templates)):
    if name.endswith(".jinja"):
        put("fuzz_template", name, read(os.path.join(templates, name)))
        put("fuzz_template_render", name, read(os.path.join(templates, name)))

# Tokenizers cut down: the first tokens by id, the merges among them, every added token.
def shrink(data, keep):
    model = data["model"]
    data["added_tokens"] = data.get("added_tokens", [])[:40]
    added = {t["content"]: t["id"] for t in data["added_tokens"]}
    vocab = model.get("vocab")
    if isinstance(vocab, list):  # Unigram: [piece, score] pairs, ids by position
        model["vocab"] = vocab[:keep]
        data["added_tokens"] = [t for t in data.get("added_tokens", []) if t["id"] < keep]
        return data
    kept = {tok: i for tok, i in vocab.items() if i < keep}
    for tok, i in added.items():
        kept.setdefault(tok, i)
    model["vocab"] = kept
    if "merges" in model:
        merges = []
        for m in model["merges"]:
            a, b = m.split(" ", 1) if isinstance(m, str) else m
            if a in kept and b in kept and a + b in kept:
                merges.append(m)
        model["merges"] = merges
    return data


tokenizers = os.path.join(fixtures, "tokenizers")
classes = {"bert-base-uncased": {"tokenizer_class": "BertTokenizerFast", "do_lower_case": True},
           "roberta-base": {"tokenizer_class": "RobertaTokenizer", "model_max_length": 512}}
for name in sorted(os.listdir(tokenizers)):
    folder = os.path.join(tokenizers, name)
    if not os.path.exists(os.path.join(folder, "tokenizer.json")):
        continue
    data = json.loads(read(os.path.join(folder, "tokenizer.json")))
    keep = 2100 if data["model"].get("type") == "WordPiece" else 400
    small = json.dumps(shrink(data, keep), ensure_ascii=False).encode()
    config = classes.get(name)
    if config is None:
        config = json.loads(read(os.path.join(folder, "tokenizer_config.json")))
        config.pop("added_tokens_decoder", None)  # large, and read from tokenizer.json anyway
        config.pop("additional_special_tokens", None)
    config_text = json.dumps(config, ensure_ascii=False).encode()
    put("fuzz_json", name + "-tokenizer_config.json", config_text)
    put("fuzz_config", name + "-tokenizer_config.json", config_text)
    put("fuzz_config", name + "-tokenizer.json", small)
    # One text only for a tokenizer that stays large (a compiled normalizer table).
    for i, text in enumerate(texts[:3] if len(small) < 100000 else texts[:1]):
        put("fuzz_tokenizer", "%s-%d" % (name, i), small + MARKER + text.encode() + MARKER + config_text)
