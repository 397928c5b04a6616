#include "im/msg_body.h"

#include <pugixml.hpp>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sstream>

#include "common/text_conv.h"
#include "im/safe_name.h"

namespace nuv {
namespace {

// Collects an element's text content: every piece of character data inside
// it, nested elements included, in document order. pugixml walks the tree
// without recursion, so deep nesting in a hostile body cannot exhaust the
// stack.
class TextContent : public pugi::xml_tree_walker {
 public:
  bool for_each(pugi::xml_node& node) override {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) text += node.value();
    return true;
  }
  std::string text;
};

}  // namespace

std::wstring RemoveFormatSpans(std::wstring text) {
  for (;;) {
    const size_t open = text.find(L'\x18');
    if (open == std::wstring::npos) return text;
    const size_t close = text.find(L'\x19', open + 1);
    if (close == std::wstring::npos) {
      text.erase(open, 1);  // unterminated: keep the words, drop the mark
    } else {
      text.erase(open, close - open + 1);
    }
  }
}

int ParseFileSize(const std::wstring& value) {
  const std::string narrow = WideToAnsi(value);
  errno = 0;
  long long v = std::strtoll(narrow.c_str(), nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

bool ParseMsgBody(const std::wstring& body, const std::wstring& tmpDir, std::wstring* text,
                  std::vector<CQueueFile>* files, std::vector<std::wstring>* names) {
  pugi::xml_document doc;
  const std::string utf8 = WideToUtf8(body);
  if (!doc.load_buffer(utf8.data(), utf8.size(), pugi::parse_default, pugi::encoding_utf8)) return false;
  pugi::xpath_node txt = doc.select_node("//Txt");
  if (!txt) return false;
  // All of the element's text: text after a nested element (a line break,
  // say) belongs to the message as much as the text before it.
  TextContent content;
  txt.node().traverse(content);
  *text = RemoveFormatSpans(Utf8ToWide(content.text));
  files->clear();
  names->clear();
  for (const char* tag : {"File", "Img"}) {
    const std::string query = std::string("//") + tag;
    for (const pugi::xpath_node& xn : doc.select_nodes(query.c_str())) {
      pugi::xml_node n = xn.node();
      pugi::xml_attribute name = n.attribute("FileName");
      pugi::xml_attribute size = n.attribute("FileSize");
      pugi::xml_attribute fid = n.attribute("FID");
      pugi::xml_attribute key = n.attribute("KEY");
      if (!name || !size) continue;
      if (!fid) {
        names->push_back(Utf8ToWide(name.value()));
        continue;
      }
      if (!key) continue;
      CQueueFile f;
      f.kind = tag[0] == 'F' ? FILE_KIND_FILE : FILE_KIND_IMAGE;
      f.size = ParseFileSize(Utf8ToWide(size.value()));
      f.fid = Utf8ToWide(fid.value());
      f.fkey = Utf8ToWide(key.value());
      f.datName = DownloadDatName(f.fid);  // the fid is outside input
      f.localPath = tmpDir + L"/" + f.datName;
      f.fileName = Utf8ToWide(name.value());
      files->push_back(std::move(f));
    }
  }
  return true;
}

std::wstring MakeSentBody(const std::wstring& text) {
  // Written by the XML library so that the characters XML reserves arrive
  // as text instead of breaking the document.
  pugi::xml_document doc;
  pugi::xml_node root = doc.append_child("NUVMsg");
  root.append_attribute("Ver") = "1.0";
  pugi::xml_node txt = root.append_child("Content").append_child("Txt");
  const std::string utf8 = WideToUtf8(text);
  if (!utf8.empty()) txt.append_child(pugi::node_pcdata).set_value(utf8.c_str());
  std::ostringstream out;
  doc.save(out, "", pugi::format_raw | pugi::format_no_declaration | pugi::format_no_empty_element_tags,
           pugi::encoding_utf8);
  return Utf8ToWide(out.str());
}

}  // namespace nuv
