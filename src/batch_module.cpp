// The module quorlix._batch and PyInit__batch: the batch functions, kept
// apart from _quorlix, whose contents stay as they are.
#include "batch.h"
#include "bcrypt/bcrypt.h"
#include "frame.h"
#include "module_def.h"
#include "references.h"

namespace quorlix {

namespace {

// The interpreter keeps pointers into these for the rest of the process,
// and only reads them, so every thread shares them as they are.
PyMethodDef METHODS[] = {
    {"checkpw_many", entry<checkpw_many_wrapper>(), METH_FASTCALL | METH_KEYWORDS,
     "checkpw_many(passwords, hashed_passwords)\n--\n\n"
     "checkpw for each pair of password and stored hash: a list of booleans."},
    {"hashpw_many", entry<hashpw_many_wrapper>(), METH_FASTCALL | METH_KEYWORDS,
     "hashpw_many(passwords, salts)\n--\n\n"
     "hashpw for each pair of password and salt: a list of hash strings."},
    {"_hashpw_cost", entry<hashpw_cost_wrapper>(), METH_FASTCALL | METH_KEYWORDS,
     "_hashpw_cost(password, salt)\n--\n\n"},
    {"_checkpw_cost", entry<checkpw_cost_wrapper>(), METH_FASTCALL | METH_KEYWORDS,
     "_checkpw_cost(password, hashed_password)\n--\n\n"},
};

PyResult<void> module_body(PyObject* module) {
    TRY_OK(add_functions(module, METHODS));
    // How many hashes of one cost run side by side.
    if (PyModule_AddIntConstant(module, "LANES", long(bcrypt::MAX_LANES)) != 0) return Err{fetch()};
    return {};
}

}  // namespace

}  // namespace quorlix

QUORLIX_MODULE(_batch, "quorlix._batch", quorlix::module_body)
