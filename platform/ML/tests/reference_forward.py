"""Reference forward pass of the speech models in numpy (float64), for the runtime's tests.

usage: reference_forward.py MODELS AUDIO MEL ENCODED TOKENS OUT
  MODELS   folder holding the AudioEncoder.mlmodelc and TextDecoder.mlmodelc folders
  AUDIO    raw float32 samples          -> OUT/mel.f32      log-mel features [n_mels, frames]
  MEL      raw float32 [n_mels, frames] -> OUT/encoded.f32  encoder output [D, W]
  ENCODED  raw float32 [D, W]           -> OUT/logits.f32   decoder logits [len(TOKENS), V], one full causal pass
  TOKENS   comma-separated token ids
"""
import json
import os
import struct
import sys

import numpy as np


class Weights(dict):
    """Tensors of a safetensors file by name, read as float64 when first used."""

    def __init__(self, path):
        super().__init__()
        with open(path, "rb") as f:
            (n,) = struct.unpack("<Q", f.read(8))
            self.header = {k: v for k, v in json.loads(f.read(n)).items() if k != "__metadata__"}
        self.data = np.memmap(path, dtype=np.uint8, mode="r", offset=8 + n)

    def __contains__(self, name):
        return name in self.header

    def __missing__(self, name):
        entry = self.header[name]
        begin, end = entry["data_offsets"]
        dtype = {"F32": "<f4", "F16": "<f2", "I32": "<i4"}[entry["dtype"]]
        self[name] = self.data[begin:end].view(dtype).astype(np.float64).reshape(entry["shape"])
        return self[name]

    def get(self, name, default=None):
        return self[name] if name in self else default


def hyper(folder):
    with open(os.path.join(folder, "model.json")) as f:
        return json.load(f)


def mel_filterbank(n_mels, sr=16000, n_fft=400):
    # Slaney: linear below 1 kHz (200/3 Hz per mel), logarithmic above; area-normalised triangles.
    def to_mel(f):
        f = np.asarray(f, dtype=np.float64)
        return np.where(f < 1000, f * 3 / 200, 15 + np.log(np.maximum(f, 1e-9) / 1000) * 27 / np.log(6.4))

    def to_hz(m):
        m = np.asarray(m, dtype=np.float64)
        return np.where(m < 15, m * 200 / 3, 1000 * np.exp((m - 15) * np.log(6.4) / 27))

    edges = to_hz(np.linspace(to_mel(0.0), to_mel(sr / 2), n_mels + 2))
    freqs = np.fft.rfftfreq(n_fft, 1 / sr)
    bank = np.zeros((n_mels, len(freqs)))
    for m in range(n_mels):
        lo, mid, hi = edges[m : m + 3]
        rise = (freqs - lo) / (mid - lo)
        fall = (hi - freqs) / (hi - mid)
        bank[m] = np.maximum(0, np.minimum(rise, fall)) * 2 / (hi - lo)
    return bank


def log_mel(audio, n_mels):
    n_fft, hop = 400, 160
    padded = np.pad(audio, n_fft // 2, mode="reflect")
    window = 0.5 - 0.5 * np.cos(2 * np.pi * np.arange(n_fft) / n_fft)
    frames = len(audio) // hop
    spectrum = np.stack([np.fft.rfft(padded[i * hop : i * hop + n_fft] * window) for i in range(frames)], axis=1)
    mel = mel_filterbank(n_mels) @ (np.abs(spectrum) ** 2)
    logs = np.log10(np.maximum(mel, 1e-10))
    logs = np.maximum(logs, logs.max() - 8)
    return (logs + 4) / 4


def layer_norm(x, w, prefix):
    mu = x.mean(-1, keepdims=True)
    var = ((x - mu) ** 2).mean(-1, keepdims=True)
    return (x - mu) / np.sqrt(var + 1e-5) * w[prefix + ".weight"] + w[prefix + ".bias"]


def erf(x):
    # Abramowitz and Stegun 7.1.26, absolute error below 1.5e-7.
    a = np.abs(x)
    t = 1 / (1 + 0.3275911 * a)
    poly = t * (0.254829592 + t * (-0.284496736 + t * (1.421413741 + t * (-1.453152027 + t * 1.061405429))))
    return np.sign(x) * (1 - poly * np.exp(-a * a))


def gelu(x):
    return 0.5 * x * (1 + erf(x / np.sqrt(2)))


def linear(x, w, prefix, bias=True):
    y = x @ w[prefix + ".weight"].T
    return y + w[prefix + ".bias"] if bias and prefix + ".bias" in w else y


def attention(q, k, v, heads, causal=False):
    n, d = q.shape
    dh = d // heads
    out = np.zeros_like(q)
    for h in range(heads):
        s = slice(h * dh, (h + 1) * dh)
        scores = q[:, s] @ k[:, s].T / np.sqrt(dh)
        if causal:
            scores = scores + np.triu(np.full((n, k.shape[0]), -np.inf), 1)
        scores = np.exp(scores - scores.max(-1, keepdims=True))
        out[:, s] = (scores / scores.sum(-1, keepdims=True)) @ v[:, s]
    return out


def conv3(x, weight, bias, stride):
    # x [C, T], weight [O, C, 3], padding 1
    padded = np.pad(x, ((0, 0), (1, 1)))
    t_out = (x.shape[1] + 2 - 3) // stride + 1
    out = np.zeros((weight.shape[0], t_out))
    for k in range(3):
        out += weight[:, :, k] @ padded[:, k : k + stride * (t_out - 1) + 1 : stride]
    return out + bias[:, None]


def self_attention_block(x, w, p, heads, causal=False):
    """Pre-norm self-attention of layer `p` with its residual."""
    h = layer_norm(x, w, p + ".self_attn_layer_norm")
    a = attention(linear(h, w, p + ".self_attn.q_proj"), linear(h, w, p + ".self_attn.k_proj"),
                  linear(h, w, p + ".self_attn.v_proj"), heads, causal=causal)
    return x + linear(a, w, p + ".self_attn.out_proj")


def mlp_block(x, w, p):
    """Pre-norm feed-forward of layer `p` with its residual."""
    h = layer_norm(x, w, p + ".final_layer_norm")
    return x + linear(gelu(linear(h, w, p + ".fc1")), w, p + ".fc2")


def encode(mel, w, hp):
    d, heads, layers = hp["n_audio_state"], hp["n_audio_head"], hp["n_audio_layer"]
    x = gelu(conv3(mel, w["model.encoder.conv1.weight"], w["model.encoder.conv1.bias"], 1))
    x = gelu(conv3(x, w["model.encoder.conv2.weight"], w["model.encoder.conv2.bias"], 2)).T
    # The stored table when the weights carry one, else the sinusoids.
    positions = w.get("model.encoder.embed_positions.weight")
    if positions is None:
        t = x.shape[0]
        inc = np.log(10000) / (d // 2 - 1)
        angles = np.arange(t)[:, None] * np.exp(-inc * np.arange(d // 2))[None, :]
        positions = np.concatenate([np.sin(angles), np.cos(angles)], axis=1)
    x = x + positions
    for i in range(layers):
        p = "model.encoder.layers.%d" % i
        x = mlp_block(self_attention_block(x, w, p, heads), w, p)
    return layer_norm(x, w, "model.encoder.layer_norm").T


def decode(tokens, frames, w, hp):
    heads, layers = hp["n_text_head"], hp["n_text_layer"]
    x = w["model.decoder.embed_tokens.weight"][tokens] + w["model.decoder.embed_positions.weight"][: len(tokens)]
    for i in range(layers):
        p = "model.decoder.layers.%d" % i
        x = self_attention_block(x, w, p, heads, causal=True)
        h = layer_norm(x, w, p + ".encoder_attn_layer_norm")
        a = attention(linear(h, w, p + ".encoder_attn.q_proj"), linear(frames, w, p + ".encoder_attn.k_proj"),
                      linear(frames, w, p + ".encoder_attn.v_proj"), heads)
        x = x + linear(a, w, p + ".encoder_attn.out_proj")
        x = mlp_block(x, w, p)
    return layer_norm(x, w, "model.decoder.layer_norm") @ w["model.decoder.embed_tokens.weight"].T


def main():
    models, audio_path, mel_path, encoded_path, tokens, out = sys.argv[1:7]
    enc_dir = os.path.join(models, "AudioEncoder.mlmodelc")
    dec_dir = os.path.join(models, "TextDecoder.mlmodelc")
    enc_hp, dec_hp = hyper(enc_dir)["hyperparameters"], hyper(dec_dir)["hyperparameters"]
    n_mels, d = enc_hp["n_mels"], enc_hp["n_audio_state"]

    audio = np.fromfile(audio_path, dtype="<f4").astype(np.float64)
    log_mel(audio, n_mels).astype("<f4").tofile(os.path.join(out, "mel.f32"))

    mel = np.fromfile(mel_path, dtype="<f4").astype(np.float64).reshape(n_mels, -1)
    encode(mel, Weights(os.path.join(enc_dir, "weights.safetensors")), enc_hp).astype("<f4").tofile(
        os.path.join(out, "encoded.f32"))

    frames = np.fromfile(encoded_path, dtype="<f4").astype(np.float64).reshape(d, -1).T
    ids = [int(t) for t in tokens.split(",")]
    decode(ids, frames, Weights(os.path.join(dec_dir, "weights.safetensors")), dec_hp).astype("<f4").tofile(
        os.path.join(out, "logits.f32"))


if __name__ == "__main__":
    main()
