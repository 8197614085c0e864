// registry.cpp: the live preconditioner handles of this process.
//
// A handle structure is a value in the host: it can be copied, saved to a file and loaded into
// another session, or made up by hand. Its `ptr` and `param` fields are therefore only keys: they
// are read by value (any numeric class holding a non-negative integer) and looked up here, and an
// address is used only when the pair belongs to a handle that DSYMtrelvakfactor registered and
// nobody has released. The registry lives in libtrelvak_octave.so, which every module links, so
// a release by DSYMtrelvakdelete is seen by every module.
//
// Addresses come back: after a release, the next factorization may get the same two blocks. A
// handle therefore also carries `id`, a serial number that is never given out twice in a
// session, and a copy of a released handle stays refused even when both addresses are live
// again (and cannot release the new handle).
#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <utility>

#include "factor/factor.h"
#include "gateway/gateway.h"

namespace trelvak::gateway {
namespace {

// Keyed by the parameter record's address, which every handle has.
std::map<std::uintptr_t, Handle>& registry() {
    static std::map<std::uintptr_t, Handle> handles;
    return handles;
}

// The value of a numeric key field, if it is a non-negative integer that fits 64 bits.
bool key_value(const mxArray* field, std::uint64_t* value) {
    const void* data = mxGetData(field);
    switch (mxGetClassID(field)) {
        case mxUINT64_CLASS:
            *value = *static_cast<const std::uint64_t*>(data);
            return true;
        case mxINT64_CLASS: {
            const std::int64_t v = *static_cast<const std::int64_t*>(data);
            *value               = static_cast<std::uint64_t>(v);
            return v >= 0;
        }
        case mxUINT32_CLASS:
            *value = *static_cast<const std::uint32_t*>(data);
            return true;
        case mxINT32_CLASS: {
            const std::int32_t v = *static_cast<const std::int32_t*>(data);
            *value               = static_cast<std::uint64_t>(v);
            return v >= 0;
        }
        case mxDOUBLE_CLASS: {
            const double v = *static_cast<const double*>(data);
            if (!(v >= 0.0) || v >= 18446744073709551616.0 || std::floor(v) != v) {
                return false;
            }
            *value = static_cast<std::uint64_t>(v);
            return true;
        }
        default:
            return false;
    }
}

[[noreturn]] void throw_not_live(const std::string& which) {
    throw HostError(which +
                    " input is not a live preconditioner: it was released, comes from another "
                    "session, or was not made by DSYMtrelvakfactor.");
}

// The field `name` of PREC(1) as a key; throws for a missing, non-numeric or empty field.
std::uint64_t key_field(const mxArray* prec, const char* name, const std::string& which) {
    const mxArray* field = mxGetField(prec, 0, name);
    if (!field) {
        throw HostError(which + " input lacks the field " + name + " of a preconditioner handle.");
    }
    if (!mxIsNumeric(field) || mxIsEmpty(field) || mxIsSparse(field) || mxIsComplex(field)) {
        throw HostError("Field " + std::string(name) + " of the " + which +
                        " input must be a non-empty real numeric array.");
    }
    std::uint64_t value = 0;
    if (!key_value(field, &value)) {
        throw_not_live(which);
    }
    return value;
}

}  // namespace

void ParametersDeleter::operator()(ParameterRecord* p) const {
    trelvak::release_parameters(p);
}
void LevelsDeleter::operator()(LevelRecord* p) const {
    trelvak::release_levels(p);
}

std::uint64_t next_handle_id() {
    static std::uint64_t last = 0;
    return ++last;
}

void register_handle(Handle handle) {
    const auto key  = reinterpret_cast<std::uintptr_t>(handle.param);
    registry()[key] = std::move(handle);
}

Handle& resolve_handle(const mxArray* prec, const char* which_input) {
    const std::string which = which_input;
    if (!mxIsStruct(prec) || mxGetNumberOfElements(prec) < 1) {
        throw HostError(which +
                        " input must be a preconditioner handle made by DSYMtrelvakfactor.");
    }
    const std::uint64_t ptr   = key_field(prec, "ptr", which);
    const std::uint64_t param = key_field(prec, "param", which);
    const std::uint64_t id    = key_field(prec, "id", which);
    auto& handles             = registry();
    const auto it             = handles.find(static_cast<std::uintptr_t>(param));
    if (it == handles.end() || reinterpret_cast<std::uintptr_t>(it->second.levels) != ptr ||
        it->second.id != id) {
        throw_not_live(which);
    }
    return it->second;
}

void release_handle(Handle& handle) {
    const auto key = reinterpret_cast<std::uintptr_t>(handle.param);
    trelvak::release_levels(handle.levels);
    trelvak::release_parameters(handle.param);
    registry().erase(key);
}

size_t live_handles() {
    return registry().size();
}

void keep_loaded(bool& locked) {
    const bool alive = live_handles() > 0;
    if (alive && !locked) {
        mexLock();
        locked = true;
    } else if (!alive && locked) {
        mexUnlock();
        locked = false;
    }
}

mxArray* make_handle_struct(const Handle& handle, double fill, double nnz, double seconds) {
    static const char* names[] = {"ptr",  "param", "n",         "nlev",  "fill",     "nnz",
                                  "time", "id",    "perturbed", "probe", "steadied", "quick"};
    constexpr int nfields      = static_cast<int>(sizeof names / sizeof names[0]);
    mxArray* s                 = mxCreateStructMatrix(1, 1, nfields, names);
    if (!s) {
        throw HostError("Could not create structure mxArray\n");
    }
    const mwSize dims[2]         = {1, 1};
    const std::uintptr_t keys[2] = {reinterpret_cast<std::uintptr_t>(handle.levels),
                                    reinterpret_cast<std::uintptr_t>(handle.param)};
    for (int i = 0; i < 2; ++i) {
        mxArray* v = mxCreateNumericArray(2, dims, mxUINT64_CLASS, mxREAL);
        *static_cast<std::uint64_t*>(mxGetData(v)) = static_cast<std::uint64_t>(keys[i]);
        mxSetFieldByNumber(s, 0, i, v);
    }
    mxSetFieldByNumber(s, 0, 2, mxCreateDoubleScalar(handle.n));
    mxSetFieldByNumber(s, 0, 3, mxCreateDoubleScalar(handle.nlev));
    mxSetFieldByNumber(s, 0, 4, mxCreateDoubleScalar(fill));
    mxSetFieldByNumber(s, 0, 5, mxCreateDoubleScalar(nnz));
    mxSetFieldByNumber(s, 0, 6, mxCreateDoubleScalar(seconds));
    mxArray* id = mxCreateNumericArray(2, dims, mxUINT64_CLASS, mxREAL);
    *static_cast<std::uint64_t*>(mxGetData(id)) = handle.id;
    mxSetFieldByNumber(s, 0, 7, id);
    mxSetFieldByNumber(s, 0, 8, mxCreateDoubleScalar(handle.perturbed));
    mxSetFieldByNumber(s, 0, 9, mxCreateDoubleScalar(handle.probe));
    mxSetFieldByNumber(s, 0, 10, mxCreateLogicalScalar(handle.steadied));
    mxSetFieldByNumber(s, 0, 11, mxCreateLogicalScalar(handle.quick));
    return s;
}

}  // namespace trelvak::gateway
