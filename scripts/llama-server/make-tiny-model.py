#!/usr/bin/env python3
"""Writes a tiny random-weight language model and a matching vision projector as GGUF files,
for exercising a real llama-server (and the bridge through it) without downloading a model.

    make-tiny-model.py OUTPUT_DIR        -> OUTPUT_DIR/tiny-model.gguf, OUTPUT_DIR/tiny-mmproj.gguf

Needs llama.cpp's gguf-py on PYTHONPATH (scripts/llama-server/build.sh keeps a copy next to the
cached server) and numpy. The weights are random but seeded, so the files are identical on every
run. The answers are gibberish by design; only their shape matters.

The model: a one-block "llama" with a SentencePiece-style vocabulary of byte tokens (so any
prompt can be tokenized) and whole English words. A random model samples every token alike, and a
lone byte token of a multi-byte character makes the server's reply invalid UTF-8, which it
refuses with a 500. So one residual dimension is held at a constant positive value (set in every
embedding, never written by a block), and the output matrix reads it with a large weight for word
tokens and a large negative one for everything else: the model speaks whole words only, and never
ends before the server's token limit.

The projector: a two-block CLIP-style vision encoder (32x32 images, 8x8 patches) with a LLaVA MLP
projector ("mlp") into the language model's embedding width.
"""
import os
import sys

import numpy as np
import gguf

WORDS = """the of and to in is it you that he was for on are with as his they be at one have this
from or had by word but what some we can out other were all there when up use your how said an each
she which do their time if will way about many then them write would like so these her long make
thing see him two has look more day could go come did number sound no most people my over know water
than call first who may down side been now find any new work part take get place made live where after
back little only round man year came show every good me give our under name very through just form
sentence great think say help low line differ turn cause much mean before move right boy old too same
tell does set three want air well also play small end put home read hand port large spell add even land
here must big high such follow act why ask men change went light kind off need house picture try us
again animal point mother world near build self earth father head stand own page should country found
answer school grow study still learn plant cover food sun four between state keep eye never last let
thought city tree cross farm hard start might story saw far sea draw left late run while press close
night real life few north open seem together next white children begin got walk example ease paper
group always music those both mark often letter until mile river car feet care second book carry took
science eat room friend began idea fish mountain stop once base hear horse cut sure watch color face
wood main enough plain girl usual young ready above ever red list though feel talk bird soon body dog
family direct pose leave song measure door product black short numeral class wind question happen
complete ship area half rock order fire south problem piece told knew pass since top whole king space
heard best hour better true during hundred five remember step early hold west ground interest reach
fast verb sing listen six table travel less morning ten simple several vowel toward war lay against
pattern slow center love person money serve appear road map rain rule govern pull cold notice voice
unit power town fine certain fly fall lead cry dark machine note wait plan figure star box noun field
rest correct able pound done beauty drive stood contain front teach week final gave green oh quick
develop ocean warm free minute strong special mind behind clear tail produce fact street inch multiply
nothing course stay wheel full force blue object decide surface deep moon island foot system busy test
record boat common gold possible plane stead dry wonder laugh thousand ago ran check game shape equate
hot miss brought heat snow tire bring yes distant fill east paint language among""".split()

TEXT_EMBD = 64
TEXT_FF = 128
TEXT_HEADS = 4
CONTEXT = 2048

VISION_EMBD = 32
VISION_FF = 64
VISION_HEADS = 2
VISION_BLOCKS = 2
IMAGE_SIZE = 32
PATCH_SIZE = 8

rng = np.random.default_rng(20240611)


def weights(*shape, scale=0.02):
    return (rng.standard_normal(shape) * scale).astype(np.float32)


def vocabulary():
    tokens = ["<unk>", "<s>", "</s>"]
    types = [gguf.TokenType.UNKNOWN, gguf.TokenType.CONTROL, gguf.TokenType.CONTROL]
    tokens += [f"<0x{b:02X}>" for b in range(256)]
    types += [gguf.TokenType.BYTE] * 256
    first_word = len(tokens)
    seen = set()
    for word in WORDS:
        piece = "\u2581" + word
        if piece not in seen:
            seen.add(piece)
            tokens.append(piece)
            types.append(gguf.TokenType.NORMAL)
    scores = [0.0] * first_word + [-float(i) for i in range(len(tokens) - first_word)]
    return tokens, scores, types, first_word


def write_model(path):
    tokens, scores, types, first_word = vocabulary()
    vocab = len(tokens)
    w = gguf.GGUFWriter(path, "llama")
    w.add_name("qor-tiny-random")
    w.add_context_length(CONTEXT)
    w.add_embedding_length(TEXT_EMBD)
    w.add_block_count(1)
    w.add_feed_forward_length(TEXT_FF)
    w.add_head_count(TEXT_HEADS)
    w.add_head_count_kv(TEXT_HEADS)
    w.add_layer_norm_rms_eps(1e-5)
    w.add_rope_dimension_count(TEXT_EMBD // TEXT_HEADS)
    w.add_vocab_size(vocab)
    w.add_file_type(gguf.LlamaFileType.ALL_F32)
    w.add_tokenizer_model("llama")
    w.add_token_list(tokens)
    w.add_token_scores(scores)
    w.add_token_types(types)
    w.add_unk_token_id(0)
    w.add_bos_token_id(1)
    w.add_eos_token_id(2)
    w.add_add_bos_token(True)

    # Dimension 0 of the residual stream is the constant "word bias" lane described above.
    embeddings = weights(vocab, TEXT_EMBD, scale=1.0)
    embeddings[:, 0] = 4.0
    output = weights(vocab, TEXT_EMBD, scale=1.0)
    output[:, 0] = -40.0
    output[first_word:, 0] = 8.0

    def block_output(rows, cols):
        m = weights(rows, cols, scale=0.2)
        m[0, :] = 0.0  # blocks never write the bias lane
        return m

    w.add_tensor("token_embd.weight", embeddings)
    w.add_tensor("output_norm.weight", np.ones(TEXT_EMBD, dtype=np.float32))
    w.add_tensor("output.weight", output)
    w.add_tensor("blk.0.attn_norm.weight", np.ones(TEXT_EMBD, dtype=np.float32))
    w.add_tensor("blk.0.attn_q.weight", weights(TEXT_EMBD, TEXT_EMBD, scale=0.2))
    w.add_tensor("blk.0.attn_k.weight", weights(TEXT_EMBD, TEXT_EMBD, scale=0.2))
    w.add_tensor("blk.0.attn_v.weight", weights(TEXT_EMBD, TEXT_EMBD, scale=0.2))
    w.add_tensor("blk.0.attn_output.weight", block_output(TEXT_EMBD, TEXT_EMBD))
    w.add_tensor("blk.0.ffn_norm.weight", np.ones(TEXT_EMBD, dtype=np.float32))
    w.add_tensor("blk.0.ffn_gate.weight", weights(TEXT_FF, TEXT_EMBD, scale=0.2))
    w.add_tensor("blk.0.ffn_up.weight", weights(TEXT_FF, TEXT_EMBD, scale=0.2))
    w.add_tensor("blk.0.ffn_down.weight", block_output(TEXT_EMBD, TEXT_FF))
    finish(w)


def write_projector(path):
    patches = (IMAGE_SIZE // PATCH_SIZE) ** 2
    w = gguf.GGUFWriter(path, "clip")
    w.add_name("qor-tiny-random-mmproj")
    w.add_string("clip.projector_type", "mlp")
    w.add_bool("clip.has_vision_encoder", True)
    w.add_bool("clip.use_gelu", True)
    w.add_uint32("clip.vision.embedding_length", VISION_EMBD)
    w.add_uint32("clip.vision.feed_forward_length", VISION_FF)
    w.add_uint32("clip.vision.block_count", VISION_BLOCKS)
    w.add_uint32("clip.vision.projection_dim", TEXT_EMBD)
    w.add_uint32("clip.vision.attention.head_count", VISION_HEADS)
    w.add_float32("clip.vision.attention.layer_norm_epsilon", 1e-5)
    w.add_uint32("clip.vision.image_size", IMAGE_SIZE)
    w.add_uint32("clip.vision.patch_size", PATCH_SIZE)
    w.add_array("clip.vision.image_mean", [0.5, 0.5, 0.5])
    w.add_array("clip.vision.image_std", [0.5, 0.5, 0.5])
    w.add_file_type(gguf.LlamaFileType.ALL_F32)

    w.add_tensor("v.patch_embd.weight", weights(VISION_EMBD, 3, PATCH_SIZE, PATCH_SIZE, scale=0.1))
    w.add_tensor("v.patch_embd.bias", weights(VISION_EMBD))
    w.add_tensor("v.position_embd.weight", weights(patches, VISION_EMBD))
    for i in range(VISION_BLOCKS):
        p = f"v.blk.{i}"
        for name in ("attn_q", "attn_k", "attn_v", "attn_out"):
            w.add_tensor(f"{p}.{name}.weight", weights(VISION_EMBD, VISION_EMBD, scale=0.1))
            w.add_tensor(f"{p}.{name}.bias", weights(VISION_EMBD))
        for name in ("ln1", "ln2"):
            w.add_tensor(f"{p}.{name}.weight", np.ones(VISION_EMBD, dtype=np.float32))
            w.add_tensor(f"{p}.{name}.bias", np.zeros(VISION_EMBD, dtype=np.float32))
        w.add_tensor(f"{p}.ffn_up.weight", weights(VISION_FF, VISION_EMBD, scale=0.1))
        w.add_tensor(f"{p}.ffn_up.bias", weights(VISION_FF))
        w.add_tensor(f"{p}.ffn_down.weight", weights(VISION_EMBD, VISION_FF, scale=0.1))
        w.add_tensor(f"{p}.ffn_down.bias", weights(VISION_EMBD))
    w.add_tensor("mm.0.weight", weights(TEXT_EMBD, VISION_EMBD, scale=0.1))
    w.add_tensor("mm.0.bias", weights(TEXT_EMBD))
    w.add_tensor("mm.2.weight", weights(TEXT_EMBD, TEXT_EMBD, scale=0.1))
    w.add_tensor("mm.2.bias", weights(TEXT_EMBD))
    finish(w)


def finish(writer):
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make-tiny-model.py OUTPUT_DIR")
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    write_model(os.path.join(out, "tiny-model.gguf"))
    write_projector(os.path.join(out, "tiny-mmproj.gguf"))


if __name__ == "__main__":
    main()
