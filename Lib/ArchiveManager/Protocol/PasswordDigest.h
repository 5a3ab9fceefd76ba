// The password digest text: what the configuration store keeps as a user's
// password and what a client sends as its password when it logs in. Server,
// configuration tools and every client must compute it identically, so this is
// the only implementation.
//
// RIPEMD-160 over kDigestSalt + lower(user) + lower(password) (no separators,
// no terminators), written as 27 symbols of kDigestAlphabet: 26 groups of 6
// bits cut from the five little-endian digest words w0..w4 from bit 0 of w0
// upwards, then one symbol of bits 28-31 of w4 plus 16 times bits 0-1 of w2.
//
// Lower-casing is Unicode simple lower case over UTF-8 text (A-Z and, for
// example, "Ä" -> "ä"); bytes that are not valid UTF-8 are kept as they are.
// So passwords and user names are case-insensitive, and an empty password is
// hashed like any other.
//
// Thread safety: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace logrum::protocol {

inline constexpr std::string_view kDigestSalt = "Lg2#n7Vq";
inline constexpr std::string_view kDigestAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789./";
inline constexpr size_t kDigestTextLength = 27;

std::string PasswordDigestText(std::string_view user, std::string_view password);

// The lower-casing the digest applies (exposed for the user model's name checks).
std::string LowerCaseText(std::string_view text);

}  // namespace logrum::protocol
