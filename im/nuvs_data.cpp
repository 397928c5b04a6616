// NUVSData: named values kept in order of first setting, with the XML form
//   <NUVSData><Value Name="Key" Type="String">text</Value>
//             <Value Name="Mode" Type="Int">0</Value>
//             <Value Name="im_message_id" Type="Bytes">0a1b...</Value></NUVSData>
// One thread at a time per object (the caller's).
#include <pugixml.hpp>

#include <sstream>
#include <vector>

#include "common/sdk_error.h"
#include "common/text_conv.h"
#include "im/im_connection.h"
#include "im/sdk.h"

namespace nuv {
namespace {

struct NamedValue {
  std::wstring name;
  std::string type;  // "String", "Int", "Bytes"
  std::wstring text; // the value's text (bytes as lower-case hex)
};

class LocalNUVSData : public INUVSData {
 public:
  void LoadXML(const std::wstring& xml) override {
    pugi::xml_document doc;
    const std::string utf8 = WideToUtf8(xml);
    pugi::xml_parse_result r = doc.load_buffer(utf8.data(), utf8.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!r) throw NuvSdkError(kSdkErrInvalidArg, std::string("NUVSData: malformed XML: ") + r.description());
    pugi::xml_node root = doc.child("NUVSData");
    if (!root) throw NuvSdkError(kSdkErrInvalidArg, "NUVSData: no NUVSData element");
    std::vector<NamedValue> values;
    for (pugi::xml_node v : root.children("Value")) {
      pugi::xml_attribute name = v.attribute("Name");
      if (!name) throw NuvSdkError(kSdkErrInvalidArg, "NUVSData: value without a name");
      NamedValue nv{Utf8ToWide(name.value()), v.attribute("Type").as_string("String"),
                    Utf8ToWide(v.text().get())};
      Put(values, std::move(nv));
    }
    values_ = std::move(values);
  }

  std::wstring GetXML() override {
    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("NUVSData");
    for (const NamedValue& v : values_) {
      pugi::xml_node n = root.append_child("Value");
      n.append_attribute("Name") = WideToUtf8(v.name).c_str();
      n.append_attribute("Type") = v.type.c_str();
      n.text() = WideToUtf8(v.text).c_str();
    }
    std::ostringstream out;
    doc.save(out, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
    return Utf8ToWide(out.str());
  }

  std::wstring GetString(const std::wstring& name) override {
    for (const NamedValue& v : values_) {
      if (v.name == name) return v.text;
    }
    throw NuvSdkError(kSdkErrInvalidArg, "NUVSData: no value named '" + WideToUtf8(name) + "'");
  }

  void SetString(const std::wstring& name, const std::wstring& value) override {
    Put(values_, NamedValue{name, "String", value});
  }
  void SetInt(const std::wstring& name, int32_t value) override {
    Put(values_, NamedValue{name, "Int", std::to_wstring(value)});
  }
  void SetBytes(const std::wstring& name, const uint8_t* bytes, size_t length) override {
    static const wchar_t kHex[] = L"0123456789abcdef";
    std::wstring hex;
    hex.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
      hex.push_back(kHex[bytes[i] >> 4]);
      hex.push_back(kHex[bytes[i] & 15]);
    }
    Put(values_, NamedValue{name, "Bytes", hex});
  }

 private:
  static void Put(std::vector<NamedValue>& values, NamedValue nv) {
    for (NamedValue& v : values) {
      if (v.name == nv.name) {
        v = std::move(nv);
        return;
      }
    }
    values.push_back(std::move(nv));
  }

  std::vector<NamedValue> values_;
};

}  // namespace

std::shared_ptr<INUVSData> CreateLocalNUVSData() { return std::make_shared<LocalNUVSData>(); }

}  // namespace nuv
