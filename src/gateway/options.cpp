// options.cpp: the exchange between the host's options structure and the parameter record.
//
// Input half (options_to_record), on element 1 of the structure: a recognised key must hold a
// value of its kind, else the call fails with a message naming the key: a character array for
// the eight text keys, a real numeric or logical array for the fourteen numeric keys (its first
// element is read, whatever its class; an int field receives it truncated toward zero). Values
// are checked against what each key accepts (common/option_checks.h): a number outside its range,
// NaN or Inf, or a text that is none of the key's keywords is refused, because the solver would
// otherwise run something else than was asked for without a word. An empty value leaves the
// record's value as it is. Unrecognised keys are ignored; an absent key leaves the record as it
// is. All values are checked before the record is changed. A changed text replaces the record's
// text by a copy (MAlloc, "trelvaksolver") that the record frees on release; a text the record
// already owns a copy of (texts, the handle's cache) reuses that copy, so the record grows only
// with distinct texts.
//
// Output half (options_from_record): a 1x1 structure with the input's fields in order. A
// recognised text field shows the record's text; a recognised numeric field comes back in its
// own class, size and shape, with the record's value in its first element and the user's other
// elements kept. Every other field (unrecognised, empty) comes back exactly as given. "niter"
// (ipar(7), a double) replaces an input "niter" in place or is added last.
#include <cctype>
#include <climits>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "common/option_checks.h"
#include "common/option_keys.h"
#include "factor/factor.h"
#include "gateway/gateway.h"

namespace trelvak::gateway {
namespace {

// The option keys of one kind (common/option_keys.h): the key's field, or null.
const OptionField* key_of_kind(const char* name, OptionField::Kind kind) {
    const OptionField* f = find_option_field(name);
    return f != nullptr && f->kind == kind ? f : nullptr;
}
const OptionField* text_key(const char* name) {
    return key_of_kind(name, OptionField::kText);
}
const OptionField* double_key(const char* name) {
    return key_of_kind(name, OptionField::kDouble);
}
const OptionField* int_key(const char* name) {
    return key_of_kind(name, OptionField::kInt);
}

// A value the numeric keys accept: a full, non-empty numeric or logical array.
bool is_numeric_option(const mxArray* v) {
    return (mxIsNumeric(v) || mxIsLogical(v)) && !mxIsSparse(v) && !mxIsEmpty(v);
}

// The first element (real part) of a numeric or logical array, by value.
double first_value(const mxArray* v) {
    const void* d = mxGetData(v);
    switch (mxGetClassID(v)) {
        case mxDOUBLE_CLASS:
            return *static_cast<const double*>(d);
        case mxSINGLE_CLASS:
            return *static_cast<const float*>(d);
        case mxINT8_CLASS:
            return *static_cast<const std::int8_t*>(d);
        case mxUINT8_CLASS:
            return *static_cast<const std::uint8_t*>(d);
        case mxINT16_CLASS:
            return *static_cast<const std::int16_t*>(d);
        case mxUINT16_CLASS:
            return *static_cast<const std::uint16_t*>(d);
        case mxINT32_CLASS:
            return *static_cast<const std::int32_t*>(d);
        case mxUINT32_CLASS:
            return *static_cast<const std::uint32_t*>(d);
        case mxINT64_CLASS:
            return static_cast<double>(*static_cast<const std::int64_t*>(d));
        case mxUINT64_CLASS:
            return static_cast<double>(*static_cast<const std::uint64_t*>(d));
        case mxLOGICAL_CLASS:
            return *static_cast<const mxLogical*>(d) ? 1.0 : 0.0;
        default:
            return 0.0;
    }
}

// Rounds to the nearest integer and saturates into [lo, hi], as the host converts to integers.
template <class T>
T saturate(double x) {
    if (std::isnan(x)) {
        return T(0);
    }
    const double r = std::round(x);
    if (r <= static_cast<double>(std::numeric_limits<T>::min())) {
        return std::numeric_limits<T>::min();
    }
    if (r >= static_cast<double>(std::numeric_limits<T>::max())) {
        return std::numeric_limits<T>::max();
    }
    return static_cast<T>(r);
}

// Writes x into the first element of v, converted to v's class.
void set_first_value(mxArray* v, double x) {
    void* d = mxGetData(v);
    switch (mxGetClassID(v)) {
        case mxDOUBLE_CLASS:
            *static_cast<double*>(d) = x;
            break;
        case mxSINGLE_CLASS:
            *static_cast<float*>(d) = static_cast<float>(x);
            break;
        case mxINT8_CLASS:
            *static_cast<std::int8_t*>(d) = saturate<std::int8_t>(x);
            break;
        case mxUINT8_CLASS:
            *static_cast<std::uint8_t*>(d) = saturate<std::uint8_t>(x);
            break;
        case mxINT16_CLASS:
            *static_cast<std::int16_t*>(d) = saturate<std::int16_t>(x);
            break;
        case mxUINT16_CLASS:
            *static_cast<std::uint16_t*>(d) = saturate<std::uint16_t>(x);
            break;
        case mxINT32_CLASS:
            *static_cast<std::int32_t*>(d) = saturate<std::int32_t>(x);
            break;
        case mxUINT32_CLASS:
            *static_cast<std::uint32_t*>(d) = saturate<std::uint32_t>(x);
            break;
        case mxINT64_CLASS:
            *static_cast<std::int64_t*>(d) = saturate<std::int64_t>(x);
            break;
        case mxUINT64_CLASS:
            *static_cast<std::uint64_t*>(d) = saturate<std::uint64_t>(x);
            break;
        case mxLOGICAL_CLASS:
            *static_cast<mxLogical*>(d) = x != 0.0;
            break;
        default:
            break;
    }
}

// Truncation toward zero into an int field; values beyond the range are clamped.
int to_int_option(double x) {
    if (x >= static_cast<double>(INT_MAX)) {
        return INT_MAX;
    }
    if (x <= static_cast<double>(INT_MIN)) {
        return INT_MIN;
    }
    return static_cast<int>(x);
}

// Raises the check's verdict on a value, if any, as the module's error.
void refuse_if(const std::string& problem) {
    if (!problem.empty()) {
        std::string message = problem;
        message[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(message[0])));
        throw HostError(message);
    }
}

std::string class_name(const mxArray* v) {
    const char* name = mxGetClassName(v);
    return name ? name : "unknown";
}

// The characters of a char array (column by column) as a NUL-terminated text.
std::vector<char> text_of(const mxArray* v) {
    std::vector<char> buffer(mxGetNumberOfElements(v) + 1, '\0');
    mxGetString(v, buffer.data(), static_cast<mwSize>(buffer.size()));
    return buffer;
}

// Element 1 of field i, or null for an empty structure array.
const mxArray* field_value(const mxArray* options, int i) {
    return mxGetNumberOfElements(options) > 0 ? mxGetFieldByNumber(options, 0, i) : nullptr;
}

// One change of the record, found and checked before anything is applied.
struct Change {
    double ParameterRecord::*dfield      = nullptr;
    int ParameterRecord::*ifield         = nullptr;
    const char* ParameterRecord::*tfield = nullptr;
    double dvalue                        = 0.0;
    int ivalue                           = 0;
    std::vector<char> text;
};

}  // namespace

void options_to_record(const mxArray* options, ParameterRecord* param, TextCache& texts) {
    const int nf = mxGetNumberOfFields(options);
    std::vector<Change> changes;
    for (int i = 0; i < nf; ++i) {
        const char* name = mxGetFieldNameByNumber(options, i);
        const mxArray* v = field_value(options, i);
        if (!v) {
            continue;
        }
        const OptionField* tkey = text_key(name);
        const OptionField* dkey = double_key(name);
        const OptionField* ikey = int_key(name);
        if (!tkey && !dkey && !ikey) {
            continue;
        }
        if (mxIsEmpty(v)) {
            continue;  // [] or '': the record's value stays
        }
        Change c;
        if (tkey) {
            if (!mxIsChar(v)) {
                throw HostError(std::string("Option ") + name + " must be text (one of " +
                                option_keywords(name) + "), not a " + class_name(v) + " value.");
            }
            c.tfield = tkey->text;
            c.text   = text_of(v);
            refuse_if(option_text_error(name, c.text.data()));
        } else {
            if (!is_numeric_option(v) || mxIsComplex(v)) {
                throw HostError(std::string("Option ") + name + " must be a real number, not a " +
                                (mxIsComplex(v) ? std::string("complex") : class_name(v)) +
                                " value.");
            }
            const double x = first_value(v);
            if (dkey) {
                c.dfield = dkey->real;
                c.dvalue = x;
                refuse_if(option_number_error(name, x));
            } else {
                refuse_if(std::isfinite(x) ? option_number_error(name, std::trunc(x))
                                           : option_number_error(name, x));
                c.ifield = ikey->integer;
                c.ivalue = to_int_option(x);
            }
        }
        changes.push_back(std::move(c));
    }

    for (Change& c : changes) {
        if (c.dfield) {
            param->*c.dfield = c.dvalue;
        } else if (c.ifield) {
            param->*c.ifield = c.ivalue;
        } else {
            const char* current = param->*c.tfield;
            if (current && std::strcmp(current, c.text.data()) == 0) {
                continue;
            }
            std::string key(c.text.data());
            if (const auto cached = texts.find(key); cached != texts.end()) {
                param->*c.tfield = cached->second;
                continue;
            }
            // adopt_text owns the copy even when it fails (it frees it then); the field points
            // to it only once the record holds it.
            auto copy = allocate<char>(c.text.size(), "trelvaksolver");
            std::memcpy(copy.get(), c.text.data(), c.text.size());
            char* text = copy.release();
            trelvak::adopt_text(param, text);
            param->*c.tfield = text;
            texts.emplace(std::move(key), text);
        }
    }
}

mxArray* options_from_record(const mxArray* options, const ParameterRecord* param,
                             bool with_niter) {
    const int nf = mxGetNumberOfFields(options);
    std::vector<const char*> names;
    names.reserve(static_cast<size_t>(nf) + 1);
    int niter_position = -1;
    for (int i = 0; i < nf; ++i) {
        names.push_back(mxGetFieldNameByNumber(options, i));
        if (std::strcmp(names.back(), "niter") == 0) {
            niter_position = i;
        }
    }
    if (with_niter && niter_position < 0) {
        names.push_back("niter");
        niter_position = nf;
    }
    mxArray* out = mxCreateStructMatrix(1, 1, static_cast<int>(names.size()), names.data());
    if (!out) {
        throw HostError("Could not create structure mxArray\n");
    }

    for (int i = 0; i < nf; ++i) {
        if (with_niter && i == niter_position) {
            continue;
        }
        const mxArray* v = field_value(options, i);
        if (!v) {
            continue;
        }
        const char* name = names[static_cast<size_t>(i)];
        mxArray* value   = nullptr;
        if (mxIsChar(v)) {
            if (const OptionField* key = text_key(name)) {
                const char* text = param->*key->text;
                value            = mxCreateString(text ? text : "");
            }
        } else if (is_numeric_option(v)) {
            if (const OptionField* dkey = double_key(name)) {
                value = mxDuplicateArray(v);
                set_first_value(value, param->*dkey->real);
            } else if (const OptionField* ikey = int_key(name)) {
                value = mxDuplicateArray(v);
                set_first_value(value, param->*ikey->integer);
            }
        }
        if (!value) {
            value = mxDuplicateArray(v);
        }
        mxSetFieldByNumber(out, 0, i, value);
    }

    if (with_niter) {
        mxSetFieldByNumber(out, 0, niter_position, mxCreateDoubleScalar(param->ipar[6]));
    }
    return out;
}

mxArray* options_from_defaults(const ParameterRecord* param) {
    constexpr int nkeys = static_cast<int>(std::size(kOptionFields));
    const char* all_keys[nkeys];
    for (int i = 0; i < nkeys; ++i) {
        all_keys[i] = kOptionFields[i].name;
    }
    mxArray* out = mxCreateStructMatrix(1, 1, nkeys, all_keys);
    if (!out) {
        throw HostError("Could not create structure mxArray\n");
    }
    for (int i = 0; i < nkeys; ++i) {
        const char* name = all_keys[i];
        mxArray* value   = nullptr;
        if (const OptionField* dkey = double_key(name)) {
            value = mxCreateDoubleScalar(param->*dkey->real);
        } else if (const OptionField* ikey = int_key(name)) {
            value = mxCreateDoubleScalar(param->*ikey->integer);
        } else if (const OptionField* tkey = text_key(name)) {
            const char* text = param->*tkey->text;
            value            = mxCreateString(text ? text : "");
        }
        mxSetFieldByNumber(out, 0, i, value);
    }
    return out;
}

}  // namespace trelvak::gateway
