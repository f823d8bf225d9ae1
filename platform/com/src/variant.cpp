#include "platform/variant.h"

namespace platform {

Variant Variant::null() {
    return Variant(VarType::Null, std::monostate{});
}
Variant Variant::fromInteger(int16_t v) {
    return Variant(VarType::Integer, v);
}
Variant Variant::fromLong(int32_t v) {
    return Variant(VarType::Long, v);
}
Variant Variant::fromSingle(float v) {
    return Variant(VarType::Single, v);
}
Variant Variant::fromDouble(double v) {
    return Variant(VarType::Double, v);
}
Variant Variant::fromBoolean(Boolean v) {
    return Variant(VarType::Boolean, static_cast<int16_t>(v != 0 ? kTrue : kFalse));
}
Variant Variant::fromByte(uint8_t v) {
    return Variant(VarType::Byte, v);
}
Variant Variant::fromString(std::u16string v) {
    return Variant(VarType::String, std::move(v));
}
Variant Variant::fromBytes(ByteArray v) {
    return Variant(VarType::ByteArray, std::move(v));
}

int16_t Variant::integerValue() const {
    return std::get<int16_t>(m_value);
}
int32_t Variant::longValue() const {
    return std::get<int32_t>(m_value);
}
float Variant::singleValue() const {
    return std::get<float>(m_value);
}
double Variant::doubleValue() const {
    return std::get<double>(m_value);
}
uint8_t Variant::byteValue() const {
    return std::get<uint8_t>(m_value);
}
const std::u16string& Variant::stringValue() const {
    return std::get<std::u16string>(m_value);
}
const ByteArray& Variant::bytesValue() const {
    return std::get<ByteArray>(m_value);
}

}  // namespace platform
