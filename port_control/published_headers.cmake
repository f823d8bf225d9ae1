# The control's published headers that follow its member table (portula_properties.inc):
# the dual interface IPortula and the typed host class corvane::Portula. Each is made from
# its template (include/portula/<name>.h.in) when the build configures, and configuring
# again follows any change of the table. Only the first three columns of a row matter here:
# name, type and access. A property's put comes before its get, as in the type library,
# whose order is the order of the interface's functions: the interface's binary layout.

# What each published type is in the interface (put takes @put@, get gives @get@) and in the
# host class (one snippet per accessor; @name@ is the published name, @getter@ its
# lowerCamel form).
set(corvane_interface_put [[
    virtual platform::HRESULT put_@name@(@put@ value) = 0;
]])
set(corvane_interface_get [[
    virtual platform::HRESULT get_@name@(@get@* value) = 0;
]])
set(corvane_put_String std::u16string_view)
set(corvane_get_String std::u16string)
set(corvane_put_Boolean std::int16_t)  # True = -1, False = 0
set(corvane_get_Boolean std::int16_t)
set(corvane_put_Integer std::int16_t)
set(corvane_get_Integer std::int16_t)
set(corvane_put_Long std::int32_t)
set(corvane_get_Long std::int32_t)
set(corvane_put_Variant platform::Variant)
set(corvane_get_Variant platform::Variant)

set(corvane_host_put_String [[
    void set@name@(std::u16string_view value) { put(&IPortula::put_@name@, value); }
    void set@name@(std::string_view utf8) { set@name@(platform::fromUtf8(utf8)); }
]])
set(corvane_host_get_String [[
    std::u16string @getter@() const { return get(&IPortula::get_@name@); }
]])
set(corvane_host_put_Boolean [[
    void set@name@(bool value) { put(&IPortula::put_@name@, platform::toBooleanValue(value)); }
]])
set(corvane_host_get_Boolean [[
    bool @getter@() const { return get(&IPortula::get_@name@) != platform::kFalse; }
]])
set(corvane_host_put_Integer [[
    void set@name@(std::int16_t value) { put(&IPortula::put_@name@, value); }
]])
set(corvane_host_get_Integer [[
    std::int16_t @getter@() const { return get(&IPortula::get_@name@); }
]])
set(corvane_host_put_Long [[
    void set@name@(std::int32_t value) { put(&IPortula::put_@name@, value); }
]])
set(corvane_host_get_Long [[
    std::int32_t @getter@() const { return get(&IPortula::get_@name@); }
]])
set(corvane_host_put_Variant [[
    void set@name@(std::u16string_view text) { put(&IPortula::put_@name@, textData(text)); }
    void set@name@(std::string_view utf8) { set@name@(platform::fromUtf8(utf8)); }
    void set@name@(std::span<const std::uint8_t> bytes) { put(&IPortula::put_@name@, byteData(bytes)); }
]])
# Not const: what a Variant property gives is taken from the control (Input2 drains).
set(corvane_host_get_Variant [[
    Data @getter@() { return data(get(&IPortula::get_@name@)); }
]])

# A getter named like a C++ keyword (Break: break) gets a trailing underscore.
set(corvane_cxx_keywords
  alignas alignof and and_eq asm auto bitand bitor bool break case catch char char8_t
  char16_t char32_t class compl concept const consteval constexpr constinit const_cast
  continue co_await co_return co_yield decltype default delete do double dynamic_cast else
  enum explicit export extern false float for friend goto if inline int long mutable
  namespace new noexcept not not_eq nullptr operator or or_eq private protected public
  register reinterpret_cast requires return short signed sizeof static static_assert
  static_cast struct switch template this thread_local throw true try typedef typeid
  typename union unsigned using virtual void volatile wchar_t while xor xor_eq)

# The published name with its first word in lower case: Settings -> settings,
# DTREnable -> dtrEnable, UDPUse -> udpUse, CommID -> commID, Input2 -> input2.
function(corvane_getter_name name out)
  string(REGEX MATCH "^[A-Z]+" capitals "${name}")
  string(LENGTH "${capitals}" count)
  string(LENGTH "${name}" length)
  # In "DTREnable" the last capital of the run begins the next word.
  if(count GREATER 1 AND count LESS length)
    string(SUBSTRING "${name}" ${count} 1 next)
    if(next MATCHES "[a-z]")
      math(EXPR count "${count} - 1")
    endif()
  endif()
  string(SUBSTRING "${name}" 0 ${count} head)
  string(SUBSTRING "${name}" ${count} -1 tail)
  string(TOLOWER "${head}" head)
  set(getter "${head}${tail}")
  if(getter IN_LIST corvane_cxx_keywords)
    string(APPEND getter "_")
  endif()
  set(${out} "${getter}" PARENT_SCOPE)
endfunction()

# Appends `lines` (each a one-line function) to the variable `out`, a line longer than the
# tree's 100 columns with its body on a line of its own, as clang-format lays it out.
function(corvane_append_lines out lines)
  set(text "${${out}}")
  while(NOT lines STREQUAL "")
    string(FIND "${lines}" "\n" end)
    if(end LESS 0)
      message(FATAL_ERROR "a snippet that does not end its last line: ${lines}")
    endif()
    string(SUBSTRING "${lines}" 0 ${end} line)
    math(EXPR end "${end} + 1")
    string(SUBSTRING "${lines}" ${end} -1 lines)
    string(LENGTH "${line}" length)
    if(length GREATER 100 AND line MATCHES "^(    [^{]+\\{) (.+) }$")
      set(line "${CMAKE_MATCH_1}\n        ${CMAKE_MATCH_2}\n    }")
    endif()
    string(APPEND text "${line}\n")
  endwhile()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Writes <output>/portula/portula_interface.h and <output>/portula/portula.h from `table`
# and the templates in `templates`.
function(corvane_generate_published_headers table templates output)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${table})
  file(STRINGS ${table} rows REGEX "^PORTULA_PROPERTY\\(")
  if(NOT rows)
    message(FATAL_ERROR "${table}: no PORTULA_PROPERTY row")
  endif()
  set(PORTULA_INTERFACE_ACCESSORS "")
  set(PORTULA_HOST_ACCESSORS "")
  foreach(row ${rows})
    if(NOT row MATCHES "^PORTULA_PROPERTY\\(([A-Za-z][A-Za-z0-9]*), *([A-Za-z]+), *(PutGet|Get|Put),")
      message(FATAL_ERROR "${table}: a row not of the form name, type, access ...: ${row}")
    endif()
    set(name ${CMAKE_MATCH_1})
    set(type ${CMAKE_MATCH_2})
    set(access ${CMAKE_MATCH_3})
    if(NOT DEFINED corvane_host_get_${type})
      message(FATAL_ERROR "${table}: ${name} has type ${type}, which has no published form")
    endif()
    set(put ${corvane_put_${type}})
    set(get ${corvane_get_${type}})
    corvane_getter_name(${name} getter)
    set(readable "read and write")
    if(access STREQUAL "Get")
      set(readable "read only")
    elseif(access STREQUAL "Put")
      set(readable "write only")
    endif()
    string(APPEND PORTULA_INTERFACE_ACCESSORS "    // ${name}: ${type}, ${readable}\n")
    string(APPEND PORTULA_HOST_ACCESSORS "    // ${name}: ${type}, ${readable}\n")
    set(snippets)
    if(NOT access STREQUAL "Get")
      list(APPEND snippets put)
    endif()
    if(NOT access STREQUAL "Put")
      list(APPEND snippets get)
    endif()
    foreach(snippet ${snippets})
      string(CONFIGURE "${corvane_interface_${snippet}}" line @ONLY)
      string(APPEND PORTULA_INTERFACE_ACCESSORS "${line}")
      string(CONFIGURE "${corvane_host_${snippet}_${type}}" lines @ONLY)
      corvane_append_lines(PORTULA_HOST_ACCESSORS "${lines}")
    endforeach()
  endforeach()
  foreach(header portula_interface.h portula.h)
    configure_file(${templates}/${header}.in ${output}/portula/${header} @ONLY)
  endforeach()
endfunction()
