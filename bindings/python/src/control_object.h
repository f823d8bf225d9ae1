// One control created by name and carried by a control site, as a window carries it: the
// object behind corvane.Dispatch.
//
// Members bind late: a name goes through the control's GetIDsOfNames (any case) once per
// spelling, then each access is one Invoke. The type library of the class, when
// registered, gives the published type of each value (checked before the call), the
// listing for dir() and the text of __doc__, and the names of the events.
//
// A control belongs to the thread that created it; a call from another thread or after
// release raises RuntimeError. Release closes the site in the platform's order (Unadvise,
// SetSite(nullptr), Close, Release) and unloads libraries nothing holds any more; a
// release requested while the control's own code is on the stack (from an event handler)
// takes effect as soon as that code has returned.
#pragma once

#include <pybind11/pybind11.h>

#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/class_type_info.h"
#include "platform/control_site.h"
#include "platform/dispatch.h"
#include "platform/variant.h"

namespace corvane_python {

namespace py = pybind11;

// Marks the calling thread as running control code (a call into a control, or the loop
// dispatching); releases requested meanwhile wait until the outermost one has returned.
class InsideControlCode {
  public:
    InsideControlCode();
    ~InsideControlCode();
    InsideControlCode(const InsideControlCode&) = delete;
    InsideControlCode& operator=(const InsideControlCode&) = delete;
};

class ControlObject {
  public:
    // `name` is a ProgID or a braced CLSID.
    explicit ControlObject(const std::string& name);
    ~ControlObject();
    ControlObject(const ControlObject&) = delete;
    ControlObject& operator=(const ControlObject&) = delete;

    // Whether `name` (a str, as asked) is a member already bound.
    bool isBound(PyObject* name) const { return PyDict_GetItem(m_bindingIndex.ptr(), name); }
    py::object getAttribute(const py::str& name);
    void setAttribute(const py::str& name, py::handle value);
    py::object call(int32_t dispid, const std::string& memberName, const py::args& args);

    std::vector<std::string> memberNames() const;
    std::vector<std::string> eventNames() const;
    std::string documentation() const;
    std::string repr() const;

    // Event handlers by event name (any case); None removes one.
    void setHandler(const std::string& eventName, py::object handler);
    py::object handler(const std::string& eventName) const;

    void release();
    bool released() const { return m_released; }

    // Releases every live control of the calling thread (at interpreter exit).
    static void releaseAllOfThisThread();

    // For the cyclic garbage collector: the handlers may refer back to this object.
    int traverse(visitproc visit, void* arg);
    void clearReferences();

  private:
    struct Binding {
        int32_t dispid = 0;
        std::string name;  // as the type library spells it, else as first asked for
        bool isMethod = false;
        platform::VarType putType = platform::kVarTypeVariant;
        std::vector<platform::VarType> params;
    };

    void checkUsable() const;
    const Binding& bind(const py::str& name);
    platform::Variant invoke(int32_t dispid, uint16_t flags, platform::DispParams& params);
    void onEvent(int32_t dispid, std::span<const platform::Variant> args);
    std::optional<int32_t> eventDispid(const std::string& eventName) const;
    std::string eventName(int32_t dispid) const;
    std::string className() const;

    // What the site's event handler reaches this object through; emptied on release, so
    // that a site whose closing waits never calls into a released object.
    struct EventTarget {
        ControlObject* object = nullptr;
    };

    std::string m_name;
    std::thread::id m_owner;
    std::shared_ptr<EventTarget> m_eventTarget;
    std::unique_ptr<platform::ControlSite> m_site;
    platform::ComPtr<platform::IDispatch> m_dispatch;
    std::optional<platform::ClassTypeInfo> m_typeInfo;
    std::vector<Binding> m_bindings;
    py::dict m_bindingIndex;  // attribute name as asked -> index into m_bindings
    std::map<int32_t, py::object> m_handlers;
    bool m_released = false;
};

}  // namespace corvane_python
