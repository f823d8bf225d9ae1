// The value types of the library's contract are compiled into every program that uses them:
// a program built against today's headers allocates, copies and reads them itself. Their size
// and alignment may change only with a new SONAME, so a change here fails the build first.
// The classes that keep their state in the library hold one pointer-sized handle (a few also
// the reference count their interface needs), whatever that state grows to. Compiled with
// the public headers' own checks: the tree does not build while one of them changed.
#include <cstddef>

#include "platform/class_type_info.h"
#include "platform/connection_point.h"
#include "platform/control_site.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/fd_watch.h"
#include "platform/file_descriptor.h"
#include "platform/guid.h"
#include "platform/message_loop.h"
#include "platform/module_record.h"
#include "platform/owning_process.h"
#include "platform/port_map.h"
#include "platform/property_bag_file.h"
#include "platform/registry.h"
#include "platform/serial_devices.h"
#include "platform/type_library.h"
#include "platform/variant.h"
#include "platform/watched_descriptor.h"

namespace {

template <class T, std::size_t Size, std::size_t Alignment>
constexpr bool frozen = sizeof(T) == Size && alignof(T) == Alignment;

// The figures hold for the 64-bit targets Debian builds the library for, with GCC's standard
// library (whose std::string, std::vector and std::function the types contain).
#if defined(__GLIBCXX__) && __SIZEOF_POINTER__ == 8 && defined(__LP64__)
using namespace platform;
static_assert(frozen<Guid, 16, 4>);
static_assert(frozen<Variant, 48, 8>);
static_assert(frozen<Error, 80, 8>);
static_assert(frozen<ErrorInfo, 72, 8>);
static_assert(frozen<DispParams, 48, 8>);
static_assert(frozen<ExcepInfo, 72, 8>);
static_assert(frozen<LibraryRecord, 128, 8>);
static_assert(frozen<ClassRecord, 104, 8>);
static_assert(frozen<ResourceRecord, 56, 8>);
static_assert(frozen<ResourceId, 24, 8>);
static_assert(frozen<ModuleCounter, 4, 4>);
static_assert(frozen<SerialPortDescription, 328, 8>);
static_assert(frozen<PortMapEntry, 48, 8>);
static_assert(frozen<FileDescriptor, 4, 4>);
static_assert(frozen<OwningProcess, 4, 4>);
static_assert(frozen<FdWatch, 16, 8>);
static_assert(frozen<WatchedDescriptor, 56, 8>);
static_assert(frozen<MemberDescription, 72, 8>);
static_assert(frozen<InterfaceDescription, 80, 8>);
static_assert(frozen<CoclassDescription, 80, 8>);
static_assert(frozen<ClassRegistration, 208, 8>);
static_assert(frozen<TypeLibraryRegistration, 160, 8>);
static_assert(frozen<ProgIdRegistration, 48, 8>);
static_assert(frozen<RegistryContents, 72, 8>);
static_assert(frozen<ClassTypeInfo, 248, 8>);

// State in the library, behind one handle.
static_assert(frozen<ControlSite, 8, 8>);
static_assert(frozen<MessageLoop, 8, 8>);
static_assert(frozen<SerialPortWatch, 8, 8>);
static_assert(frozen<Registry, 16, 8>);         // a shared handle: copies are cheap
static_assert(frozen<TextPropertyBag, 16, 8>);  // its interface's table, and the handle
static_assert(frozen<ConnectionPoint, 24, 8>);  // its interface's table and count, and the handle
#endif

}  // namespace
