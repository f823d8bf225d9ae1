// Variant conversions by the Basic rules: every value converts to every type or fails
// with error 6 (overflow), 13 (type mismatch) or 94 (invalid use of Null) and nothing
// else; the integral conversions agree with the value as a Double rounded half to even;
// a converted value converts to itself; numeric text reads the same through parseNumber
// and toDouble and, where parseNumber takes it, through leadingNumber; printed numbers
// read back as the same value; leadingNumber never fails.
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <string>

#include "fuzz_input.h"
#include "fuzz_variant.h"
#include "platform/error.h"
#include "platform/variant.h"

namespace {

using platform::Variant;
using platform::VarType;

// The result of a conversion: a value or an error number.
template <class T>
struct Outcome {
    std::optional<T> value;
    int32_t error = 0;
};

template <class T, class Convert>
Outcome<T> attempt(const char* what, Convert&& convert) {
    try {
        return {convert(), 0};
    } catch (const platform::Error& error) {
        const int32_t n = error.number();
        FUZZ_CHECK(n == 6 || n == 13 || n == 94, "%s failed with error %d", what, n);
        FUZZ_CHECK(!error.description().empty(), "%s: error %d without a description", what, n);
        return {std::nullopt, n};
    } catch (const std::exception& e) {
        FUZZ_CHECK(false, "%s threw %s", what, e.what());
    }
    return {};
}

bool sameNumber(double a, double b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

constexpr VarType kTargets[] = {
    VarType::Empty,  VarType::Null,   VarType::Integer, VarType::Long, VarType::Single,
    VarType::Double, VarType::String, VarType::Boolean, VarType::Byte, VarType::ByteArray};

void checkConvertEverywhere(const Variant& v, VarType extraTarget) {
    auto check = [&](VarType target) {
        const Outcome<Variant> converted =
            attempt<Variant>("convert", [&] { return platform::convert(v, target); });
        if (!converted.value)
            return;
        FUZZ_CHECK(converted.value->type() == target, "convert to %d gave type %d", int(target),
                   int(converted.value->type()));
        const Outcome<Variant> again = attempt<Variant>(
            "convert again", [&] { return platform::convert(*converted.value, target); });
        FUZZ_CHECK(again.value && fuzz::sameValue(*again.value, *converted.value),
                   "a value converted to %d does not convert to itself", int(target));
    };
    for (const VarType target : kTargets)
        check(target);
    check(extraTarget);
}

template <class T>
void checkIntegral(const char* what, const Outcome<T>& actual, const Outcome<double>& asDouble) {
    if (!asDouble.value) {
        FUZZ_CHECK(actual.error == asDouble.error, "%s failed with %d, toDouble with %d", what,
                   actual.error, asDouble.error);
        return;
    }
    const double rounded = platform::roundHalfEven(*asDouble.value);
    const bool fits = !std::isnan(rounded) && rounded >= std::numeric_limits<T>::min() &&
                      rounded <= std::numeric_limits<T>::max();
    if (fits) {
        FUZZ_CHECK(actual.value && static_cast<double>(*actual.value) == rounded,
                   "%s of %.17g: expected %.17g", what, *asDouble.value, rounded);
    } else {
        FUZZ_CHECK(actual.error == 6, "%s of %.17g: expected overflow, got error %d", what,
                   *asDouble.value, actual.error);
    }
}

void checkNumbers(const Variant& v) {
    const auto asDouble = attempt<double>("toDouble", [&] { return platform::toDouble(v); });
    checkIntegral("toInteger",
                  attempt<int16_t>("toInteger", [&] { return platform::toInteger(v); }), asDouble);
    checkIntegral("toLong", attempt<int32_t>("toLong", [&] { return platform::toLong(v); }),
                  asDouble);
    checkIntegral("toByte", attempt<uint8_t>("toByte", [&] { return platform::toByte(v); }),
                  asDouble);

    const auto asSingle = attempt<float>("toSingle", [&] { return platform::toSingle(v); });
    if (!asDouble.value) {
        FUZZ_CHECK(asSingle.error == asDouble.error, "toSingle failed with %d, toDouble with %d",
                   asSingle.error, asDouble.error);
    } else if (asSingle.value && v.type() != VarType::Single) {
        FUZZ_CHECK(sameNumber(*asSingle.value, static_cast<float>(*asDouble.value)),
                   "toSingle is not the Double rounded to float");
    }

    if (v.type() != VarType::String && v.type() != VarType::Boolean) {
        const auto asBoolean =
            attempt<platform::Boolean>("toBoolean", [&] { return platform::toBoolean(v); });
        if (asDouble.value) {
            FUZZ_CHECK(
                asBoolean.value &&
                    *asBoolean.value == (*asDouble.value != 0 ? platform::kTrue : platform::kFalse),
                "toBoolean disagrees with the number %.17g", *asDouble.value);
        } else {
            FUZZ_CHECK(asBoolean.error == asDouble.error, "toBoolean failed with %d, not %d",
                       asBoolean.error, asDouble.error);
        }
    }
    attempt<std::u16string>("toString", [&] { return platform::toString(v); });
    attempt<platform::ByteArray>("toBytes", [&] { return platform::toBytes(v); });
}

// Printed numbers read back: the shortest digits of a Double or Single are that value.
void checkPrinted(const Variant& v) {
    if (v.type() == VarType::Double && std::isfinite(v.doubleValue())) {
        const std::u16string text = platform::formatNumber(v.doubleValue());
        const auto back =
            attempt<double>("parseNumber", [&] { return platform::parseNumber(text); });
        FUZZ_CHECK(back.value && *back.value == v.doubleValue(),
                   "the Double %.17g prints as a text that reads back differently",
                   v.doubleValue());
    }
    if (v.type() == VarType::Single && std::isfinite(v.singleValue())) {
        const Variant text = Variant::fromString(platform::formatSingle(v.singleValue()));
        const auto back = attempt<float>("toSingle", [&] { return platform::toSingle(text); });
        FUZZ_CHECK(back.value && *back.value == v.singleValue(),
                   "the Single %.9g prints as a text that reads back differently",
                   double(v.singleValue()));
    }
}

void checkText(const std::u16string& text) {
    const auto parsed = attempt<double>("parseNumber", [&] { return platform::parseNumber(text); });
    const auto viaVariant =
        attempt<double>("toDouble", [&] { return platform::toDouble(Variant::fromString(text)); });
    FUZZ_CHECK(parsed.error == viaVariant.error, "parseNumber failed with %d, toDouble with %d",
               parsed.error, viaVariant.error);
    if (parsed.value)
        FUZZ_CHECK(sameNumber(*parsed.value, *viaVariant.value),
                   "parseNumber %.17g, toDouble %.17g", *parsed.value, *viaVariant.value);

    double leading = 0;
    try {
        leading = platform::leadingNumber(text);
    } catch (const std::exception& e) {
        FUZZ_CHECK(false, "leadingNumber threw %s", e.what());
    }
    // Val skips blanks among the characters but stops at a carriage return, which a
    // conversion allows around the number; elsewhere a number both take reads the same.
    if (parsed.value && text.find(u'\r') == std::u16string::npos) {
        FUZZ_CHECK(sameNumber(leading, *parsed.value), "leadingNumber %.17g, parseNumber %.17g",
                   leading, *parsed.value);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput input(data, size);
    for (int i = 0; i < 8 && !input.empty(); ++i) {
        const Variant v = fuzz::takeVariant(input);
        const auto extraTarget = static_cast<VarType>(input.take<uint16_t>());
        checkConvertEverywhere(v, extraTarget);
        checkNumbers(v);
        checkPrinted(v);
        if (v.type() == VarType::String)
            checkText(v.stringValue());
    }
    return 0;
}
