// The generic Invoke engine: an interface description from the type library plus a table
// of accessors in interface order serve GetIDsOfNames and Invoke for any object, with no
// code per member.
//
// Invoke finds the member by DISPID and kind, checks the named and positional arguments,
// converts each argument to its declared type by the Basic rules, calls the accessor and
// converts its value to the declared result type. Failures, in the order checked:
//   - flags that ask for no kind, or for a put and a get at once: E_INVALIDARG;
//   - no member with this DISPID and kind, or no accessor for it: DISP_E_MEMBERNOTFOUND
//     (a get of a put-only member or a put of a read-only one never reaches the object);
//   - a named argument other than the value of a put: DISP_E_PARAMNOTFOUND;
//   - the wrong number of arguments: DISP_E_BADPARAMCOUNT;
//   - an argument that does not convert: DISP_E_OVERFLOW for error 6, DISP_E_TYPEMISMATCH
//     for any other (13, 94 ...), with *argError = its index in params.args, as the
//     platform's own dispatcher reports it; a late-bound caller turns these back into
//     errors 6 and 13 with their standard descriptions;
//   - an exception from the accessor (platform::Error as is, std::bad_alloc as 7, anything
//     else as 440), or a result that does not convert to the declared type:
//     DISP_E_EXCEPTION with number, scode = hresultFromNumber(number), source and
//     description in ExcepInfo and in the thread's error info.
// The engine's other failures clear the thread's error info. `*result` is written only
// on success.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <cstddef>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/type_library.h"
#include "platform/variant.h"

namespace platform {

// What an accessor receives: its object, the arguments converted to their declared types
// in declaration order (a put's value last), and where to leave its result.
template <class Object>
using Accessor =
    std::function<void(Object& object, std::span<const Variant> args, Variant& result)>;

// The object side of the engine, for the table below.
class CORVANE_PLATFORM_EXPORT InvokeTarget {
  public:
    virtual bool hasAccessor(std::size_t member) const = 0;
    virtual void call(std::size_t member, std::span<const Variant> args, Variant& result) = 0;

  protected:
    ~InvokeTarget() = default;
};

CORVANE_PLATFORM_EXPORT HRESULT getIDsOfNamesFrom(const InterfaceDescription& description,
                                                  const char16_t* const* names, unsigned count,
                                                  int32_t* dispids);
CORVANE_PLATFORM_EXPORT HRESULT invokeFrom(const InterfaceDescription& description,
                                           std::u16string_view source, InvokeTarget& target,
                                           int32_t dispid, uint16_t flags, DispParams& params,
                                           Variant* result, ExcepInfo* excepInfo,
                                           unsigned* argError);

namespace dispatch_detail {

template <class T>
struct ArgumentValue {
    using type = std::remove_cvref_t<T>;
};
template <>
struct ArgumentValue<std::u16string_view> {
    using type = std::u16string;
};

template <class T>
T fromVariant(const Variant& v) {
    if constexpr (std::is_same_v<T, Variant>) {
        return v;
    } else if constexpr (std::is_same_v<T, std::u16string>) {
        return toString(v);
    } else if constexpr (std::is_same_v<T, bool>) {
        return toBoolean(v) != kFalse;
    } else if constexpr (std::is_same_v<T, int16_t>) {
        return toInteger(v);
    } else if constexpr (std::is_same_v<T, int32_t>) {
        return toLong(v);
    } else if constexpr (std::is_same_v<T, float>) {
        return toSingle(v);
    } else if constexpr (std::is_same_v<T, double>) {
        return toDouble(v);
    } else if constexpr (std::is_same_v<T, uint8_t>) {
        return convert(v, VarType::Byte).byteValue();
    } else if constexpr (std::is_same_v<T, ByteArray>) {
        return toBytes(v);
    } else {
        static_assert(sizeof(T) == 0, "no Variant conversion for this parameter type");
    }
}

template <class T>
Variant toVariant(T&& value) {
    using V = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<V, Variant>) {
        return std::forward<T>(value);
    } else if constexpr (std::is_same_v<V, std::u16string>) {
        return Variant::fromString(std::forward<T>(value));
    } else if constexpr (std::is_same_v<V, std::u16string_view>) {
        return Variant::fromString(std::u16string(value));
    } else if constexpr (std::is_same_v<V, bool>) {
        return Variant::fromBoolean(toBooleanValue(value));
    } else if constexpr (std::is_same_v<V, int16_t>) {
        return Variant::fromInteger(value);
    } else if constexpr (std::is_same_v<V, int32_t>) {
        return Variant::fromLong(value);
    } else if constexpr (std::is_same_v<V, float>) {
        return Variant::fromSingle(value);
    } else if constexpr (std::is_same_v<V, double>) {
        return Variant::fromDouble(value);
    } else if constexpr (std::is_same_v<V, uint8_t>) {
        return Variant::fromByte(value);
    } else if constexpr (std::is_same_v<V, ByteArray>) {
        return Variant::fromBytes(std::forward<T>(value));
    } else {
        static_assert(sizeof(V) == 0, "no Variant conversion for this result type");
    }
}

template <class M>
struct MemberFunction;
template <class C, class R, class... A>
struct MemberFunction<R (C::*)(A...)> {
    using Result = R;
    using Args = std::tuple<A...>;
};
template <class C, class R, class... A>
struct MemberFunction<R (C::*)(A...) const> : MemberFunction<R (C::*)(A...)> {};
template <class C, class R, class... A>
struct MemberFunction<R (C::*)(A...) noexcept> : MemberFunction<R (C::*)(A...)> {};
template <class C, class R, class... A>
struct MemberFunction<R (C::*)(A...) const noexcept> : MemberFunction<R (C::*)(A...)> {};

template <class R>
void checkStatus(R status) {
    if constexpr (std::is_same_v<R, HRESULT>) {
        if (failed(status))
            throwFromHresult(status);
    }
}

// Runs `call`; a failed HRESULT result becomes an Error, a void one is fine.
template <class Call>
void callChecked(Call&& call) {
    using R = decltype(call());
    static_assert(std::is_void_v<R> || std::is_same_v<R, HRESULT>,
                  "a putter or method returns nothing or HRESULT");
    if constexpr (std::is_void_v<R>) {
        call();
    } else {
        checkStatus(call());
    }
}

}  // namespace dispatch_detail

template <class Object>
class DispatchTable {
  public:
    // One accessor per member of `description`, in the same order; an empty accessor makes
    // its member answer DISP_E_MEMBERNOTFOUND. `source` names the object in ExcepInfo.
    DispatchTable(InterfaceDescription description, std::vector<Accessor<Object>> accessors,
                  std::u16string source = {})
        : m_description(std::move(description)),
          m_accessors(std::move(accessors)),
          m_source(std::move(source)) {
        if (m_accessors.size() != m_description.members.size()) {
            throw std::invalid_argument("dispatch table: one accessor per member required");
        }
    }

    const InterfaceDescription& description() const { return m_description; }

    HRESULT getIDsOfNames(const char16_t* const* names, unsigned count, int32_t* dispids) const {
        return getIDsOfNamesFrom(m_description, names, count, dispids);
    }

    HRESULT invoke(Object& object, int32_t dispid, uint16_t flags, DispParams& params,
                   Variant* result, ExcepInfo* excepInfo, unsigned* argError) const {
        Target target(*this, object);
        return invokeFrom(m_description, m_source, target, dispid, flags, params, result, excepInfo,
                          argError);
    }

    // Accessors made from member functions of Object (or a base), with these shapes:
    //   get<&Object::get_X>:    T get_X() [const]       or  HRESULT get_X(T* value)
    //   put<&Object::put_X>:    void put_X(T value)     or  HRESULT put_X(T value)
    //   method<&Object::Do>:    void Do(T1, T2 ...)     or  HRESULT Do(T1, T2 ...)
    // T is one of std::u16string (also const& or std::u16string_view for arguments),
    // int16_t (Integer and Boolean), int32_t, float, double, uint8_t, bool, ByteArray,
    // Variant. A failed HRESULT becomes the Error that throwFromHresult makes of it.
    template <auto Getter>
    static Accessor<Object> get() {
        using Traits = dispatch_detail::MemberFunction<decltype(Getter)>;
        using Args = typename Traits::Args;
        return [](Object& object, std::span<const Variant>, Variant& result) {
            if constexpr (std::tuple_size_v<Args> == 0) {
                result = dispatch_detail::toVariant((object.*Getter)());
            } else {
                static_assert(std::tuple_size_v<Args> == 1, "a getter takes one out parameter");
                using Out = std::remove_pointer_t<std::tuple_element_t<0, Args>>;
                Out value{};
                dispatch_detail::checkStatus((object.*Getter)(&value));
                result = dispatch_detail::toVariant(std::move(value));
            }
        };
    }

    template <auto Putter>
    static Accessor<Object> put() {
        using Args = typename dispatch_detail::MemberFunction<decltype(Putter)>::Args;
        static_assert(std::tuple_size_v<Args> == 1, "a putter takes the value");
        return [](Object& object, std::span<const Variant> args, Variant&) {
            using Value =
                typename dispatch_detail::ArgumentValue<std::tuple_element_t<0, Args>>::type;
            dispatch_detail::callChecked(
                [&] { return (object.*Putter)(dispatch_detail::fromVariant<Value>(args.back())); });
        };
    }

    template <auto Method>
    static Accessor<Object> method() {
        using Args = typename dispatch_detail::MemberFunction<decltype(Method)>::Args;
        return [](Object& object, std::span<const Variant> args, Variant&) {
            callWith<Method, Args>(object, args,
                                   std::make_index_sequence<std::tuple_size_v<Args>>{});
        };
    }

  private:
    template <auto Method, class Args, std::size_t... I>
    static void callWith(Object& object, std::span<const Variant> args, std::index_sequence<I...>) {
        (void)args;  // unused for a method without parameters
        dispatch_detail::callChecked([&] {
            return (object.*Method)(
                dispatch_detail::fromVariant<
                    typename dispatch_detail::ArgumentValue<std::tuple_element_t<I, Args>>::type>(
                    args[I])...);
        });
    }

    class Target final : public InvokeTarget {
      public:
        Target(const DispatchTable& table, Object& object) : m_table(table), m_object(object) {}
        bool hasAccessor(std::size_t member) const override {
            return static_cast<bool>(m_table.m_accessors[member]);
        }
        void call(std::size_t member, std::span<const Variant> args, Variant& result) override {
            m_table.m_accessors[member](m_object, args, result);
        }

      private:
        const DispatchTable& m_table;
        Object& m_object;
    };

    InterfaceDescription m_description;
    std::vector<Accessor<Object>> m_accessors;
    std::u16string m_source;
};

}  // namespace platform
