#include "control_object.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <utility>

#include "control_error.h"
#include "interpreter_lock.h"
#include "platform/error.h"
#include "platform/module_loader.h"
#include "platform/registry.h"
#include "platform/type_library.h"
#include "platform/wait_interruption.h"
#include "text_conversion.h"
#include "value_conversion.h"

namespace corvane_python {

namespace {

// The extent a window would give a control it has just placed (32 pixels at 15 twips).
constexpr float kHostExtentTwips = 480.0f;

struct ClosingSite {
    std::unique_ptr<platform::ControlSite> site;
    platform::ComPtr<platform::IDispatch> dispatch;
};

thread_local int t_controlCodeDepth = 0;
thread_local std::vector<ClosingSite> t_deferredCloses;

std::set<ControlObject*>& liveControls() {
    static auto* live = new std::set<ControlObject*>;
    return *live;
}

void closeNow(ClosingSite closing) {
    if (closing.site)
        closing.site->close();
    closing.site.reset();
    closing.dispatch.reset();
    platform::freeUnusedLibraries();
}

void finishDeferredCloses() {
    while (!t_deferredCloses.empty()) {
        ClosingSite closing = std::move(t_deferredCloses.back());
        t_deferredCloses.pop_back();
        closeNow(std::move(closing));
    }
}

// The check a waiting call asks: a signal whose Python handler raises (Ctrl+C) ends the
// wait, and the exception waits with the thread until the call has returned.
bool signalArrived() {
    InterpreterLockTaken lock;
    if (PyErr_CheckSignals() == 0)
        return false;
    setPendingInterrupt(py::error_already_set());
    return true;
}

// Signals end the waits of control code for as long as it lives.
class SignalsEndWaits {
  public:
    SignalsEndWaits() : m_replaced(platform::setWaitInterruptionCheck(&signalArrived)) {}
    ~SignalsEndWaits() { platform::setWaitInterruptionCheck(m_replaced); }
    SignalsEndWaits(const SignalsEndWaits&) = delete;
    SignalsEndWaits& operator=(const SignalsEndWaits&) = delete;

  private:
    platform::WaitInterruptionCheck m_replaced;
};

[[noreturn]] void raiseCurrentError() {
    std::optional<platform::ErrorInfo> info = platform::takeErrorInfo();
    if (!info)
        raiseError(platform::Error(platform::errors::kCannotCreateObject));
    raiseError(info->number, info->description, info->source);
}

platform::Guid classIdOf(const std::string& name, platform::ComPtr<platform::IUnknown>& object) {
    if (!name.empty() && name.front() == '{') {
        const std::optional<platform::Guid> clsid = platform::Guid::parse(name);
        if (!clsid) {
            throw py::value_error("malformed CLSID \"" + name +
                                  "\": expected {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}");
        }
        if (platform::failed(
                platform::createInstance(*clsid, platform::IID_IUnknown, object.putVoid())))
            raiseCurrentError();
        return *clsid;
    }
    if (platform::failed(platform::createInstanceByProgId(
            std::string_view(name), platform::IID_IUnknown, object.putVoid())))
        raiseCurrentError();
    try {
        if (std::optional<platform::Guid> clsid = platform::firstInLookupRegistries(
                [&](const platform::Registry& registry) { return registry.clsidFromProgId(name); }))
            return *clsid;
    } catch (const platform::Error&) {
    }
    return platform::GUID_NULL;
}

std::string accessOf(bool get, bool put) {
    if (get && put)
        return "read/write";
    return get ? "read-only" : "write-only";
}

std::string parameterList(const std::vector<platform::VarType>& params) {
    std::string list;
    for (platform::VarType param : params) {
        if (!list.empty())
            list += ", ";
        list += typeDescription(param);
    }
    return list;
}

}  // namespace

InsideControlCode::InsideControlCode() {
    ++t_controlCodeDepth;
}

InsideControlCode::~InsideControlCode() {
    if (--t_controlCodeDepth == 0 && !t_deferredCloses.empty())
        finishDeferredCloses();
}

ControlObject::ControlObject(const std::string& name)
    : m_name(name),
      m_owner(std::this_thread::get_id()),
      m_eventTarget(std::make_shared<EventTarget>()) {
    platform::ComPtr<platform::IUnknown> object;
    const platform::Guid clsid = classIdOf(name, object);
    try {
        m_site = std::make_unique<platform::ControlSite>(object.get());
        object.reset();
        m_site->setUserMode(true);
        m_site->setEventHandler(
            [target = m_eventTarget](int32_t dispid, std::span<const platform::Variant> args) {
                if (target->object)
                    target->object->onEvent(dispid, args);
            });
        m_site->activate(kHostExtentTwips, kHostExtentTwips);
        if (platform::failed(
                m_site->control()->QueryInterface(platform::IID_IDispatch, m_dispatch.putVoid())))
            throw platform::Error(platform::errors::kNoAutomationSupport);
        if (clsid != platform::GUID_NULL)
            m_typeInfo = platform::registeredClassTypeInfo(clsid);
    } catch (const platform::Error& error) {
        m_dispatch.reset();
        m_site.reset();
        platform::freeUnusedLibraries();
        raiseError(error);
    }
    m_eventTarget->object = this;
    liveControls().insert(this);
}

ControlObject::~ControlObject() {
    if (std::this_thread::get_id() == m_owner) {
        release();
        return;
    }
    // Another thread let go of it: closing here would run the control on a thread that
    // is not its own, so its site stays as it is until the process ends.
    m_eventTarget->object = nullptr;
    liveControls().erase(this);
    (void)m_site.release();
    new platform::ComPtr<platform::IDispatch>(std::move(m_dispatch));
}

void ControlObject::release() {
    if (m_released)
        return;
    if (std::this_thread::get_id() != m_owner)
        checkUsable();  // raises: a control is closed on its own thread only
    m_released = true;
    m_eventTarget->object = nullptr;
    liveControls().erase(this);
    ClosingSite closing{std::move(m_site), std::move(m_dispatch)};
    if (t_controlCodeDepth > 0)
        t_deferredCloses.push_back(std::move(closing));
    else
        closeNow(std::move(closing));
    // Last: a handler may hold the last reference to this object (a closure over it), and
    // dropping it then frees the object, members and all.
    clearReferences();
}

void ControlObject::releaseAllOfThisThread() {
    // One at a time, looked up afresh: a release may free other controls (their last
    // reference was in its handlers), which leave the set as they go.
    const std::thread::id self = std::this_thread::get_id();
    const auto ownedHere = [self](const ControlObject* control) {
        return control->m_owner == self;
    };
    for (;;) {
        const auto found = std::find_if(liveControls().begin(), liveControls().end(), ownedHere);
        if (found == liveControls().end())
            return;
        (*found)->release();
    }
}

void ControlObject::checkUsable() const {
    if (m_released)
        throw std::runtime_error("corvane: the " + className() + " control has been released");
    if (std::this_thread::get_id() != m_owner) {
        throw std::runtime_error("corvane: the " + className() +
                                 " control belongs to the thread that created it; it cannot be "
                                 "used from another thread");
    }
}

std::string ControlObject::className() const {
    if (m_typeInfo)
        return platform::toUtf8(m_typeInfo->coclass.name);
    return m_name;
}

const ControlObject::Binding& ControlObject::bind(const py::str& name) {
    if (PyObject* index = PyDict_GetItemWithError(m_bindingIndex.ptr(), name.ptr()))
        return m_bindings[PyLong_AsSsize_t(index)];
    if (PyErr_Occurred())
        throw py::error_already_set();

    const std::u16string wide = fromPython(name, "a member name");
    const char16_t* names[] = {wide.c_str()};
    int32_t dispid = platform::DISPID_UNKNOWN;
    const platform::HRESULT hr = m_dispatch->GetIDsOfNames(names, 1, &dispid);
    if (hr == platform::DISP_E_UNKNOWNNAME || dispid == platform::DISPID_UNKNOWN) {
        platform::clearErrorInfo();
        throw py::attribute_error("the " + className() + " control has no member '" +
                                  std::string(name) + "'");
    }
    if (platform::failed(hr))
        raiseInvokeFailure(hr, {});

    Binding binding;
    binding.dispid = dispid;
    binding.name = std::string(name);
    if (m_typeInfo) {
        for (const platform::MemberDescription& member : m_typeInfo->defaultInterface.members) {
            if (member.dispid != dispid)
                continue;
            binding.name = platform::toUtf8(member.name);
            if (member.kind == platform::MemberKind::Method) {
                binding.isMethod = true;
                binding.params = member.params;
            } else if (member.kind == platform::MemberKind::PropertyPut && !member.params.empty()) {
                binding.putType = member.params.back();
            }
        }
    }
    m_bindings.push_back(std::move(binding));
    m_bindingIndex[name] = py::int_(m_bindings.size() - 1);
    return m_bindings.back();
}

platform::Variant ControlObject::invoke(int32_t dispid, uint16_t flags,
                                        platform::DispParams& params) {
    platform::Variant result;
    platform::ExcepInfo excepInfo;
    unsigned argError = 0;
    platform::HRESULT hr;
    {
        // A handler may release this control while the call runs; the dispatch pointer
        // stays valid until the call is back.
        const platform::ComPtr<platform::IDispatch> dispatch = m_dispatch;
        InsideControlCode inside;
        // A call may wait (opening a network port waits for its server, which may be
        // another thread of this interpreter): other threads run meanwhile, and handlers
        // take the lock back. The values cross to and from Python outside, with it held.
        // Ctrl+C ends such a wait.
        SignalsEndWaits signalsEndWaits;
        InterpreterLockReleased released;
        hr = dispatch->Invoke(dispid, flags, params, &result, &excepInfo, &argError);
    }
    raisePendingInterrupt();
    if (platform::failed(hr))
        raiseInvokeFailure(hr, excepInfo);
    return result;
}

py::object ControlObject::getAttribute(const py::str& name) {
    checkUsable();
    const Binding& binding = bind(name);
    if (binding.isMethod) {
        const int32_t dispid = binding.dispid;
        const std::string memberName = binding.name;
        py::object self = py::cast(this, py::return_value_policy::reference);
        return py::cpp_function([self, dispid, memberName](py::args args) {
            return self.cast<ControlObject&>().call(dispid, memberName, args);
        });
    }
    platform::DispParams params;
    return fromVariant(invoke(binding.dispid, platform::DISPATCH_PROPERTYGET, params));
}

void ControlObject::setAttribute(const py::str& name, py::handle value) {
    checkUsable();
    const Binding& binding = bind(name);
    platform::DispParams params =
        platform::DispParams::propertyPut(toVariant(value, binding.putType, binding.name));
    invoke(binding.dispid, platform::DISPATCH_PROPERTYPUT, params);
    // The site keeps every property-changed notification for a host that shows them; this
    // host shows none, and a script that sets a member in a loop must not grow it.
    if (m_site)
        m_site->clearChangedProperties();
}

py::object ControlObject::call(int32_t dispid, const std::string& memberName,
                               const py::args& args) {
    checkUsable();
    std::vector<platform::VarType> types;
    if (const Binding* binding = [&]() -> const Binding* {
            for (const Binding& b : m_bindings) {
                if (b.dispid == dispid)
                    return &b;
            }
            return nullptr;
        }())
        types = binding->params;
    std::vector<platform::Variant> inOrder;
    for (size_t i = 0; i < args.size(); ++i) {
        const platform::VarType type =
            types.size() == args.size() ? types[i] : platform::kVarTypeVariant;
        inOrder.push_back(toVariant(args[i], type, memberName));
    }
    platform::DispParams params = platform::DispParams::positional(std::move(inOrder));
    return fromVariant(invoke(dispid, platform::DISPATCH_METHOD, params));
}

std::vector<std::string> ControlObject::memberNames() const {
    std::vector<std::string> names;
    if (!m_typeInfo)
        return names;
    for (const platform::MemberDescription& member : m_typeInfo->defaultInterface.members) {
        std::string name = platform::toUtf8(member.name);
        if (std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(std::move(name));
    }
    return names;
}

std::vector<std::string> ControlObject::eventNames() const {
    std::vector<std::string> names;
    if (m_typeInfo && m_typeInfo->eventInterface) {
        for (const platform::MemberDescription& member : m_typeInfo->eventInterface->members)
            names.push_back(platform::toUtf8(member.name));
    }
    return names;
}

std::string ControlObject::documentation() const {
    if (!m_typeInfo)
        return "The control " + m_name + " (its class has no registered type library).";
    const platform::InterfaceDescription& members = m_typeInfo->defaultInterface;
    std::string text =
        "The control " + className() + " (" + m_name + "), members from its " + "type library:\n\n";
    for (const std::string& name : memberNames()) {
        bool get = false, put = false, method = false;
        platform::VarType type = platform::kVarTypeVariant;
        std::vector<platform::VarType> params;
        for (const platform::MemberDescription& member : members.members) {
            if (platform::toUtf8(member.name) != name)
                continue;
            if (member.kind == platform::MemberKind::PropertyGet) {
                get = true;
                type = member.result;
            } else if (member.kind == platform::MemberKind::Method) {
                method = true;
                type = member.result;
                params = member.params;
            } else {
                put = true;
                if (!get && !member.params.empty())
                    type = member.params.back();
            }
        }
        if (method) {
            text += "    " + name + "(" + parameterList(params) + ") -> " + typeDescription(type) +
                    "\n";
        } else {
            text += "    " + name + ": " + typeDescription(type) + ", " + accessOf(get, put) + "\n";
        }
    }
    const std::vector<std::string> events = eventNames();
    if (!events.empty()) {
        text +=
            "\nEvents (corvane.connect(control, handler) or control.events.<name> = "
            "callable):\n\n";
        for (const platform::MemberDescription& event : m_typeInfo->eventInterface->members) {
            text +=
                "    " + platform::toUtf8(event.name) + "(" + parameterList(event.params) + ")\n";
        }
    }
    return text;
}

std::string ControlObject::repr() const {
    return "<corvane control " + className() + " (" + m_name + ")" +
           (m_released ? ", released>" : ">");
}

std::optional<int32_t> ControlObject::eventDispid(const std::string& eventName) const {
    if (!m_typeInfo || !m_typeInfo->eventInterface)
        return std::nullopt;
    return m_typeInfo->eventInterface->findDispid(platform::fromUtf8(eventName));
}

std::string ControlObject::eventName(int32_t dispid) const {
    if (m_typeInfo && m_typeInfo->eventInterface) {
        for (const platform::MemberDescription& member : m_typeInfo->eventInterface->members) {
            if (member.dispid == dispid)
                return platform::toUtf8(member.name);
        }
    }
    return "event " + std::to_string(dispid);
}

void ControlObject::setHandler(const std::string& name, py::object handler) {
    checkUsable();
    const std::optional<int32_t> dispid = eventDispid(name);
    if (!dispid) {
        std::string known;
        for (const std::string& event : eventNames())
            known += (known.empty() ? "" : ", ") + event;
        throw py::attribute_error("the " + className() + " control raises no event '" + name + "'" +
                                  (known.empty() ? "" : "; its events: " + known));
    }
    if (handler.is_none()) {
        m_handlers.erase(*dispid);
        return;
    }
    if (!PyCallable_Check(handler.ptr()))
        throw py::type_error("the handler for " + eventName(*dispid) + " must be callable, not " +
                             Py_TYPE(handler.ptr())->tp_name);
    m_handlers[*dispid] = std::move(handler);
}

py::object ControlObject::handler(const std::string& name) const {
    const std::optional<int32_t> dispid = eventDispid(name);
    if (!dispid)
        throw py::attribute_error("the " + className() + " control raises no event '" + name + "'");
    const auto found = m_handlers.find(*dispid);
    return found == m_handlers.end() ? py::none() : found->second;
}

void ControlObject::onEvent(int32_t dispid, std::span<const platform::Variant> args) {
    InterpreterLockTaken lock;
    const auto found = m_handlers.find(dispid);
    if (found == m_handlers.end())
        return;
    // Both stay alive while the handler runs, whatever it does to this object.
    const py::object self = py::cast(this, py::return_value_policy::reference);
    const py::object handler = found->second;
    try {
        py::tuple pyArgs(args.size());
        for (size_t i = 0; i < args.size(); ++i)
            pyArgs[i] = fromVariant(args[i]);
        handler(*pyArgs);
    } catch (py::error_already_set& error) {
        if (error.matches(PyExc_Exception))
            reportHandlerException(error,
                                   "the " + eventName(dispid) + " handler of " + className());
        else
            setPendingInterrupt(std::move(error));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "corvane: exception in the %s handler of %s: %s\n",
                     eventName(dispid).c_str(), className().c_str(), error.what());
    }
}

int ControlObject::traverse(visitproc visit, void* arg) {
    for (auto& [dispid, handler] : m_handlers)
        Py_VISIT(handler.ptr());
    return 0;
}

void ControlObject::clearReferences() {
    // Emptied before any handler is dropped: dropping one may free this object.
    std::map<int32_t, py::object> handlers;
    handlers.swap(m_handlers);
}

}  // namespace corvane_python
