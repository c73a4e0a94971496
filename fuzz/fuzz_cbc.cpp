// The CBC layer against OpenSSL: OpenSSL encrypts a fuzzed message under a
// fuzzed key and IV, and AES_init_ctx_iv + AES_CBC_decrypt_buffer, called in
// fuzzed chunk sizes, must give the message back.
//
// Input: key (16) | iv (16) | fill byte | chunk count | chunk sizes | tail
// flag | message. The message is cut to whole blocks; when the tail flag is
// odd, the bytes past the last whole block ride along on the last call.
//
// Invariants: the plaintext is the message; after every call ctx->iv is the
// last ciphertext block decrypted so far (the IV before any), and round_keys
// never changes and begins with the key; a call of length 0 changes nothing;
// trailing bytes past the last whole block are left untouched; a context
// full of junk is set up exactly as a zero-filled one.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "cipher/aes.h"
#include "fuzz_support.h"

namespace {

bool same(const uint8_t* a, const uint8_t* b, size_t n) {
  return n == 0 || std::memcmp(a, b, n) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const Bytes key = in.bytes(16);
  const Bytes iv = in.bytes(16);
  if (key.size() != 16 || iv.size() != 16) return 0;
  const uint8_t fill = in.byte();
  const Bytes chunks = in.bytes(in.byte() % 17);
  const bool with_tail = (in.byte() & 1) != 0;
  const Bytes message = in.rest();
  const size_t whole = message.size() / 16 * 16;
  const size_t tail = with_tail ? message.size() - whole : 0;

  // Built only when a check fails.
  const auto context = [&] {
    return "key " + to_hex(key) + "\niv " + to_hex(iv) + "\nchunks " +
           to_hex(chunks) + "\nmessage " + to_hex(message);
  };

  const Bytes ciphertext =
      openssl_cbc_encrypt(key.data(), iv.data(), message.data(), whole);
  // Exactly as long as what the library is told, so ASan sees any overrun.
  Bytes buffer(ciphertext);
  buffer.insert(buffer.end(), message.begin() + static_cast<ptrdiff_t>(whole),
                message.begin() + static_cast<ptrdiff_t>(whole + tail));
  buffer.shrink_to_fit();

  AES_ctx zeroed;
  std::memset(&zeroed, 0, sizeof zeroed);
  AES_init_ctx_iv(&zeroed, key.data(), iv.data());
  AES_ctx ctx;
  std::memset(&ctx, fill, sizeof ctx);
  AES_init_ctx_iv(&ctx, key.data(), iv.data());
  FUZZ_CHECK(same(reinterpret_cast<const uint8_t*>(&ctx),
                  reinterpret_cast<const uint8_t*>(&zeroed), sizeof ctx),
             context());
  FUZZ_CHECK(same(ctx.round_keys, key.data(), 16), context());
  FUZZ_CHECK(same(ctx.iv, iv.data(), 16), context());
  uint8_t round_keys[sizeof ctx.round_keys];
  std::memcpy(round_keys, ctx.round_keys, sizeof round_keys);

  // Blocks of 0 to 7 per call, then the rest in one call.
  size_t offset = 0;
  for (size_t i = 0; i <= chunks.size(); ++i) {
    size_t n = whole - offset;
    if (i < chunks.size()) n = std::min(n, size_t{chunks[i] % 8u} * 16);
    const bool last_call = i == chunks.size();
    if (last_call) n += tail;

    AES_ctx before;
    std::memcpy(&before, &ctx, sizeof ctx);
    AES_CBC_decrypt_buffer(&ctx, buffer.data() + offset,
                           static_cast<uint32_t>(n));
    const auto where = [&] {
      return "call " + std::to_string(i) + " at " + std::to_string(offset) +
             " of " + std::to_string(n) + " bytes\n" + context();
    };

    const size_t blocks_end = offset + n / 16 * 16;
    if (n < 16) {
      FUZZ_CHECK(same(reinterpret_cast<const uint8_t*>(&ctx),
                      reinterpret_cast<const uint8_t*>(&before), sizeof ctx),
                 where());
    } else {
      FUZZ_CHECK(same(ctx.iv, ciphertext.data() + blocks_end - 16, 16),
                 "iv " + to_hex(ctx.iv, 16) + "\n" + where());
    }
    FUZZ_CHECK(same(ctx.round_keys, round_keys, sizeof round_keys), where());
    FUZZ_CHECK(
        same(buffer.data(), message.data(), blocks_end),
        "plaintext " + to_hex(buffer.data(), blocks_end) + "\n" + where());
    offset = blocks_end;
  }
  FUZZ_CHECK(offset == whole, context());
  FUZZ_CHECK(same(buffer.data() + whole, message.data() + whole, tail),
             "tail " + to_hex(buffer.data() + whole, tail) + "\n" + context());
  return 0;
}
