#pragma once
// The shell's resource strings: the vocabulary of the device table's Type, In/out and Test cells.
// Cells are compared with these texts exactly (case-sensitive).
#include <string>

namespace portwise::app {

struct TResString {
  int Id;
  const char* Text;
};

inline constexpr TResString rsIn{65207, "In"};
inline constexpr TResString rsOut{65208, "Out"};
inline constexpr TResString rsASIO{65209, "ASIO"};
inline constexpr TResString rsMME{65210, "MME"};
inline constexpr TResString rsDS{65211, "DS"};
inline constexpr TResString rsTest{65213, "Test..."};
inline constexpr TResString rsUnknown{65214, "?"};
inline constexpr TResString rsErr{65215, "Err."};
inline constexpr TResString rsOK{65184, "OK"};

inline std::string LoadResString(const TResString& rs) { return rs.Text; }

// Looks a string up by its id; empty when the id is unknown.
std::string LoadResString(int id);

}  // namespace portwise::app
