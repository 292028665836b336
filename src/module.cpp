// The module definition and PyInit__quorlix.
#include <array>
#include <string>
#include <string_view>

#include "frame.h"
#include "functions.h"
#include "module_def.h"
#include "references.h"

namespace quorlix {

namespace {

///////////////////////
/// Texts users see ///
///////////////////////
// Each exact text is the module's documented behaviour: the attributes'
// values.
constexpr const char* AUTHOR = "The quorlix developers";
constexpr const char* COPYRIGHT_PREFIX = "Copyright 2025-2026";

struct Attribute {
    const char* name;
    const char* value;
};

constexpr Attribute METADATA[] = {
    {"__title__", "quorlix"},
    {"__summary__", "bcrypt password hashing and bcrypt_pbkdf key derivation for Python"},
    {"__uri__", "https://quorlix.dev/"},
    {"__version_ex__", "5.0.0"},
    {"__author__", AUTHOR},
    {"__email__", "developers@quorlix.dev"},
    {"__license__", "Apache License, Version 2.0"},
};

std::string copyright() { return std::string(COPYRIGHT_PREFIX) + " " + AUTHOR; }

////////////////////////
/// Function records ///
////////////////////////
// gensalt's signature text, its default cost written from the constant.
constexpr std::array<char, 64> gensalt_signature() {
    std::array<char, 64> text{};
    size_t at = 0;
    auto put = [&](std::string_view s) {
        for (char c : s) text[at++] = c;
    };
    put("gensalt(rounds=");
    if (GENSALT_DEFAULT_ROUNDS >= 10) text[at++] = char('0' + GENSALT_DEFAULT_ROUNDS / 10);
    text[at++] = char('0' + GENSALT_DEFAULT_ROUNDS % 10);  // a cost: two digits at most
    put(", prefix=b'2b')\n--\n\n");
    return text;
}
constexpr std::array<char, 64> GENSALT_SIGNATURE = gensalt_signature();

// The interpreter keeps pointers into these for the rest of the process,
// and only reads them, so every thread shares them as they are. Each exact
// name and signature text is the module's documented behaviour.
PyMethodDef METHODS[] = {
    {"checkpw", entry<checkpw_wrapper>(), METH_FASTCALL | METH_KEYWORDS,
     "checkpw(password, hashed_password)\n--\n\n"},
    {"gensalt", entry<gensalt_wrapper>(), METH_FASTCALL | METH_KEYWORDS, GENSALT_SIGNATURE.data()},
    {"hashpw", entry<hashpw_wrapper>(), METH_FASTCALL | METH_KEYWORDS,
     "hashpw(password, salt)\n--\n\n"},
    {"kdf", entry<kdf_wrapper>(), METH_FASTCALL | METH_KEYWORDS,
     "kdf(password, salt, desired_key_bytes, rounds, ignore_few_rounds=False)\n--\n\n"},
};

/////////////////////////
/// Module definition ///
/////////////////////////

PyResult<void> module_body(PyObject* module) {
    TRY_OK(add_functions(module, METHODS));
    for (const Attribute& a : METADATA) TRY_OK(add(module, a.name, a.value));
    return add(module, "__copyright__", copyright());
}

}  // namespace

}  // namespace quorlix

QUORLIX_MODULE(_quorlix, "_quorlix", quorlix::module_body)
