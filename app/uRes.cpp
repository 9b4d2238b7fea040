#include "app/uRes.h"

namespace portwise::app {

std::string LoadResString(int id) {
  for (const TResString& rs : {rsIn, rsOut, rsASIO, rsMME, rsDS, rsTest, rsUnknown, rsErr, rsOK})
    if (rs.Id == id) return rs.Text;
  return {};
}

}  // namespace portwise::app
