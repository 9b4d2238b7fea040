#include "app/uRes.h"

namespace portwise::app {

std::string LoadResString(int id) {
  for (const TResString& rs : {rsIn, rsOut, rsASIO, rsMME, rsDS, rsTest, rsUnknown, rsErr, rsOK})
    if (rs.Id == id) return rs.Text;
  return {};
}

}  // namespace portwise::app

namespace portwise::app {

std::string FormatRes(const char* AFormat, const std::string& A1, const std::string& A2) {
  std::string out;
  const std::string* args[] = {&A1, &A2};
  std::size_t next = 0;
  for (const char* p = AFormat; *p; ++p) {
    if (p[0] == '%' && p[1] == 's' && next < 2) {
      out += *args[next++];
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

}  // namespace portwise::app
