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

namespace portwise::app {

// Log texts; %s stands for the device or driver name.
inline constexpr const char* KLogSearchStart = "Recherche des périphériques d'entrée / sortie (ASIO / MME / DS)...";
inline constexpr const char* KLogSearchEnd = "Recherche des périphériques terminée.";

// The four lines of an interface test: start, success, failure, end.
struct TTestTexts {
  const char* Start;
  const char* Opened;
  const char* Failed;
  const char* End;
};
inline constexpr TTestTexts KTestMMEIn{"[MME In] %s -> Test interface...", "[MME In] %s -> Ouverture interface : OK.",
                                       "[MME In] %s -> Ouverture interface impossible.", "[MME In] %s -> Fin de test"};
inline constexpr TTestTexts KTestMMEOut{"[MME Out] %s -> Test interface...", "[MME Out] %s -> Ouverture interface : OK.",
                                        "[MME Out] %s -> Ouverture interface impossible.",
                                        "[MME Out] %s -> Fin de test"};
inline constexpr TTestTexts KTestDSIn{"[DS In] %s -> Test interface...", "[DS In] %s -> Ouverture interface : OK.",
                                      "[DS In] %s -> Ouverture interface impossible.", "[DS In] %s -> Fin de test"};
inline constexpr TTestTexts KTestDSOut{"[DS Out] %s -> Test interface...", "[DS Out] %s -> Ouverture interface : OK.",
                                       "[DS Out] %s -> Ouverture interface impossible.", "[DS Out] %s -> Fin de test"};

// ASIO wrappers, test and tone.
inline constexpr const char* KLogASIOStarted = "[ASIO] %s -> Démarrage interface : OK.";
inline constexpr const char* KLogASIOStopped = "[ASIO] %s -> Arrêt interface : OK.";
inline constexpr const char* KLogASIOCantStart = "[ASIO] %s -> Démarrage interface impossible.";
inline constexpr const char* KLogASIOCantStop = "[ASIO] %s -> Arrêt interface impossible.";
inline constexpr const char* KLogASIOGenOn = "[ASIO] %s -> Démarrage générateur audio";
inline constexpr const char* KLogASIOGenOff = "[ASIO] %s -> Arrêt générateur audio";
inline constexpr const char* KLogASIOTest = "[ASIO] %s -> Test interface...";
inline constexpr const char* KLogASIOCantOpen = "[ASIO] %s -> Ouverture interface impossible.";
inline constexpr const char* KLogASIOTestEnd = "[ASIO] %s -> Fin de test";
inline constexpr const char* KLogASIONoCallback = "[ASIO] %s -> Aucun rappel du pilote pendant le test.";
// A tone on a channel the driver does not have; the second %s is the channel.
inline constexpr const char* KLogASIONoOutput = "[ASIO] %s -> Pas de canal de sortie %s : signal de test impossible.";
// A step of an ASIO test or tone that raised; the second %s is the reason.
inline constexpr const char* KLogASIOFailed = "[ASIO] %s -> Erreur : %s";
inline constexpr const char* KLogASIODeviceUnknown = "AudioDevice?";

// A test tone that failed part-way; the second %s is the reason.
inline constexpr const char* KLogMMEToneFailed = "[MME Out] %s -> Signal de test impossible : %s";
inline constexpr const char* KLogDSToneFailed = "[DS Out] %s -> Signal de test impossible : %s";
// A clean-up step of a failed test that failed too; the second %s is the reason.
inline constexpr const char* KLogCleanupFailed = "%s -> Remise à zéro impossible : %s";

// The format with each %s replaced, in order, by the next argument.
std::string FormatRes(const char* AFormat, const std::string& A1, const std::string& A2 = {});

}  // namespace portwise::app
