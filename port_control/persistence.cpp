// Saving and restoring the control's persisted properties: the rows of the property table
// (portula_properties.inc) that have a saved place, in the order of those places.
//
// Load writes each value straight into the component or field that holds it (no
// notification, no close, no protocol change); save reads each value live. The first failure
// ends the operation: rows before it stay applied (or written), the rest are not touched.
#include <algorithm>
#include <vector>

#include "portula.h"
#include "portula_properties.h"

namespace port_control {

// Where the saved values live, by the names the table's store column uses. Load and save go
// straight to them, past the control's own set operations.
class SavedStores {
  public:
    explicit SavedStores(Portula& control)
        : MSComm1(*control.m_components.MSComm1),
          Winsock1(*control.m_components.Winsock1),
          Winsock2(*control.m_components.Winsock2),
          Control{control} {}

    // The control's own saved fields.
    struct Fields {
        Portula& control;
        Boolean get_UDPUse() const { return control.m_udpFlag; }
        void put_UDPUse(Boolean flag) { control.m_udpFlag = flag; }
        std::u16string get_LogFile() const { return control.m_logPath; }
        void put_LogFile(const std::u16string& path) { control.setLogPath(path); }
    };

    SerialComponent& MSComm1;
    UdpComponent& Winsock1;
    UdpComponent& Winsock2;
    Fields Control;
};

namespace {
using platform::Variant;

struct SavedRow {
    int place;
    std::u16string_view key;
    platform::VarType type;
    Variant byDefault;
    void (*load)(SavedStores& stores, const Variant& value);  // value has the row's type
    Variant (*save)(SavedStores& stores);
};

#define PORTULA_SAVED_IN(store, name, type, saved, byDefault)                              \
    SavedRow{saved,                                                                        \
             u## #name,                                                                    \
             properties::published::type::varType,                                         \
             properties::defaults::byDefault.toVariant(),                                  \
             [](SavedStores& stores, const Variant& value) {                               \
                 stores.store.put_##name(properties::published::type::fromVariant(value)); \
             },                                                                            \
             [](SavedStores& stores) {                                                     \
                 return properties::published::type::toVariant(stores.store.get_##name()); \
             }},
#define PORTULA_SAVED_IN_MSComm1(...) PORTULA_SAVED_IN(MSComm1, __VA_ARGS__)
#define PORTULA_SAVED_IN_Winsock1(...) PORTULA_SAVED_IN(Winsock1, __VA_ARGS__)
#define PORTULA_SAVED_IN_Winsock2(...) PORTULA_SAVED_IN(Winsock2, __VA_ARGS__)
#define PORTULA_SAVED_IN_Control(...) PORTULA_SAVED_IN(Control, __VA_ARGS__)
#define PORTULA_SAVED_IN_None(...)

// The saved record: one row per saved property, in saved order.
const std::vector<SavedRow>& savedRecord() {
    static const std::vector<SavedRow> record = [] {
        std::vector<SavedRow> rows{
#define PORTULA_PROPERTY(name, type, access, saved, store, byDefault) \
    PORTULA_SAVED_IN_##store(name, type, saved, byDefault)
#include "portula_properties.inc"
        };
        std::sort(rows.begin(), rows.end(),
                  [](const SavedRow& a, const SavedRow& b) { return a.place < b.place; });
        return rows;
    }();
    return record;
}
}  // namespace

void Portula::Load(platform::PropertyBag& bag) {
    SavedStores stores(*this);
    for (const SavedRow& row : savedRecord()) {
        const Variant stored = bag.Read(row.key, row.byDefault);
        row.load(stores, platform::convert(stored, row.type));
    }
}

void Portula::Save(platform::PropertyBag& bag) {
    SavedStores stores(*this);
    for (const SavedRow& row : savedRecord())
        bag.Write(row.key, row.save(stores), row.byDefault);
}

}  // namespace port_control
