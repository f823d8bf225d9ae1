// The four entry points of the Corvane library, each a forward to the platform runtime
// serving the library's registration record. Nothing else is exported (exports.map).
#include "interface/registration_record.h"
#include "platform/module_runtime.h"

using platform::Guid;
using platform::HRESULT;

namespace {
// Makes the record (and so the resources) known to the process while the module is loaded.
const platform::ModuleRecordRegistrar g_registrar(port_control::corvaneLibraryRecord(),
                                                  &g_registrar);
}  // namespace

extern "C" {

__attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
    return platform::canUnloadNow(port_control::corvaneLibraryRecord());
}

__attribute__((visibility("default"))) HRESULT DllGetClassObject(const Guid* clsid, const Guid* iid,
                                                                 void** object) {
    if (!clsid || !iid)
        return platform::E_POINTER;
    return platform::getClassObject(port_control::corvaneLibraryRecord(), *clsid, *iid, object);
}

__attribute__((visibility("default"))) HRESULT DllRegisterServer() {
    return platform::registerServer(port_control::corvaneLibraryRecord(),
                                    platform::modulePathOf(&g_registrar));
}

__attribute__((visibility("default"))) HRESULT DllUnregisterServer() {
    return platform::unregisterServer(port_control::corvaneLibraryRecord(),
                                      platform::modulePathOf(&g_registrar));
}

}  // extern "C"
