// hashpw_many and checkpw_many: many hashes at once, those of one cost in
// lanes, each item giving what hashpw or checkpw would.
#include "batch.h"

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "arguments.h"
#include "hashing.h"
#include "references.h"

namespace quorlix {

namespace {

constexpr std::string_view HASHPW_MANY_PARAMS[] = {"passwords", "salts"};
constexpr FunctionDescription HASHPW_MANY{"hashpw_many", HASHPW_MANY_PARAMS, 2};
constexpr std::string_view CHECKPW_MANY_PARAMS[] = {"passwords", "hashed_passwords"};
constexpr FunctionDescription CHECKPW_MANY{"checkpw_many", CHECKPW_MANY_PARAMS, 2};
constexpr std::string_view HASHPW_PARAMS[] = {"password", "salt"};
constexpr FunctionDescription HASHPW_COST{"_hashpw_cost", HASHPW_PARAMS, 2};
constexpr std::string_view CHECKPW_PARAMS[] = {"password", "hashed_password"};
constexpr FunctionDescription CHECKPW_COST{"_checkpw_cost", CHECKPW_PARAMS, 2};

// What each batch function does with an item: its single function's name
// and parameter names, and what it makes of the computed hash.
struct Batch {
    const FunctionDescription& single;
    PyObject* (*result)(const bcrypt::HashParts&, const HashInput&, Bytes setting);
};

PyObject* hash_result(const bcrypt::HashParts& parts, const HashInput& in, Bytes) {
    return hash_string(parts, in.setting.version);
}

PyObject* check_result(const bcrypt::HashParts& parts, const HashInput& in, Bytes stored) {
    PyObject* verdict = compat::bool_constant(same_hash(parts, in.setting.version, stored));
    _Py_IncRef(verdict);
    return verdict;
}

// Constant: every thread reads them, none writes.
const Batch HASHPW_BATCH{HASHPW_COST, hash_result};
const Batch CHECKPW_BATCH{CHECKPW_COST, check_result};

///////////////////////
/// Texts users see ///
///////////////////////
PyErr unequal_lengths(const FunctionDescription& desc, size_t firsts, size_t seconds) {
    return PyErr::value_error(std::string(desc.func_name) + "() got " + std::to_string(firsts) +
                              " " + std::string(desc.params[0]) + " and " +
                              std::to_string(seconds) + " " + std::string(desc.params[1]));
}

// The single function's exception, with the item's place as a note: the
// message stays exactly what a loop over that function would raise.
PyErr in_item(PyErr e, const FunctionDescription& desc, size_t i) {
    PyObject* exc = e.make_normalized();
    const std::string note = "in item " + std::to_string(i) + " of " + std::string(desc.func_name);
    Owned added(PyObject_CallMethod(exc, "add_note", "s", note.c_str()));
    if (!added) drop_pending();  // the exception itself matters more
    return e;
}

/////////////////
/// The items ///
/////////////////
// An iterable argument's items, in a tuple of the call's own: the views of
// them are read without the lock, while the caller's list may change.
PyResult<Owned> items_of(PyObject* obj, std::string_view name) {
    Owned items(PySequence_Tuple(obj));
    if (!items) return Err{argument_extraction_error(name, fetch())};
    return items;
}

// An item checked as its single function checks its arguments.
PyResult<HashInput> check_item(const FunctionDescription& single, PyObject* password,
                               PyObject* setting) {
    TRY_LET(const Bytes p, extract_argument(password, single.params[0], from_py_object_bound));
    TRY_LET(const Bytes s, extract_argument(setting, single.params[1], from_py_object_bound));
    return check_hash_input(p, s);
}

///////////////////
/// The hashing ///
///////////////////
// Hashes every item, those of one cost together, into parts (in the items'
// order).
PyResult<void> hash_all(const std::vector<HashInput>& inputs,
                        std::vector<bcrypt::HashParts>& parts) {
    std::vector<size_t> order(inputs.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return inputs[a].setting.cost < inputs[b].setting.cost;
    });
    std::vector<bcrypt::LaneInput> lanes;
    uint64_t work = 0;
    for (size_t i : order) {
        const HashInput& in = inputs[i];
        lanes.push_back({in.password, in.setting.salt});
        work += uint64_t(1) << in.setting.cost;
    }
    std::vector<bcrypt::RawHash> raw(inputs.size());
    TRY_LET(auto hashed, run_interruptibly(hash_length(work), [&](const Cancel& cancel) {
                Result<void, bcrypt::BcryptError> r;
                for (size_t at = 0, end; at < order.size() && r; at = end) {
                    const uint32_t cost = inputs[order[at]].setting.cost;
                    for (end = at; end < order.size() && inputs[order[end]].setting.cost == cost;
                         end++) {
                    }
                    r = bcrypt::hash_passwords(std::span(lanes).subspan(at, end - at), cost,
                                               std::span(raw).subspan(at, end - at), cancel);
                }
                return r;
            }));
    if (!hashed) panic("assertion failed: the costs were checked before hashing");
    parts.resize(inputs.size());
    for (size_t k = 0; k < order.size(); k++) {
        const bcrypt::Setting& s = inputs[order[k]].setting;
        parts[order[k]] = bcrypt::hash_parts(s.cost, s.salt, raw[k]);
    }
    return {};
}

PyResult<PyObject*> run_batch(const Batch& batch, const FunctionDescription& desc,
                              PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound(desc);
    TRY_OK(bound.bind(args, nargs, kwnames));
    TRY_LET(const Owned passwords, items_of(bound[0], desc.params[0]));
    TRY_LET(const Owned settings, items_of(bound[1], desc.params[1]));
    const size_t n = size_t(PyTuple_Size(passwords.get()));
    const size_t m = size_t(PyTuple_Size(settings.get()));
    if (n != m) return Err{unequal_lengths(desc, n, m)};

    // Every item is checked before any is hashed.
    std::vector<HashInput> inputs;
    inputs.reserve(n);
    for (size_t i = 0; i < n; i++) {
        auto in = check_item(batch.single, PyTuple_GetItem(passwords.get(), Py_ssize_t(i)),
                             PyTuple_GetItem(settings.get(), Py_ssize_t(i)));
        if (!in) return Err{in_item(std::move(in).error(), desc, i)};
        inputs.push_back(in.value());
    }
    std::vector<bcrypt::HashParts> parts;
    TRY_OK(hash_all(inputs, parts));

    Owned out(PyList_New(Py_ssize_t(n)));
    if (!out) return Err{fetch()};
    for (size_t i = 0; i < n; i++) {
        PyObject* setting = PyTuple_GetItem(settings.get(), Py_ssize_t(i));
        PyObject* r =
            batch.result(parts[i], inputs[i],
                         Bytes(reinterpret_cast<const uint8_t*>(PyBytes_AsString(setting)),
                               size_t(PyBytes_Size(setting))));
        PyList_SetItem(out.get(), Py_ssize_t(i), r);  // steals r
    }
    return out.release();
}

// The cost of an item, or its single function's error: how the pool checks
// a call before queueing it.
PyResult<PyObject*> item_cost(const FunctionDescription& desc, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound(desc);
    TRY_OK(bound.bind(args, nargs, kwnames));
    TRY_LET(const HashInput in, check_item(desc, bound[0], bound[1]));
    PyObject* cost = PyLong_FromUnsignedLong(in.setting.cost);
    if (cost == nullptr) return Err{fetch()};
    return cost;
}

}  // namespace

PyResult<PyObject*> hashpw_many_wrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
    return run_batch(HASHPW_BATCH, HASHPW_MANY, args, nargs, kwnames);
}

PyResult<PyObject*> checkpw_many_wrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    return run_batch(CHECKPW_BATCH, CHECKPW_MANY, args, nargs, kwnames);
}

PyResult<PyObject*> hashpw_cost_wrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
    return item_cost(HASHPW_COST, args, nargs, kwnames);
}

PyResult<PyObject*> checkpw_cost_wrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    return item_cost(CHECKPW_COST, args, nargs, kwnames);
}

}  // namespace quorlix
