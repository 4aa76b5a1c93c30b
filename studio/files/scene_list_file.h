// The scene list file: the engine's scenes kept between runs as an XML
// document, "scenes.xml" in the Corvalind sub-folder of the user's documents
// folder. The scene manager loads it when its window opens and saves it
// after every change. Everything here runs on the UI thread; the engine
// swaps a loaded list in as one step, so the output thread never sees half
// of it.
//
// A file that exists but cannot be read (not a regular file, too large,
// no right to read it, malformed) is never written over: the load moves it
// aside to "scenes.xml.unreadable-YYYYMMDD-HHMMSS" (local time, "-1", "-2"
// ... appended when that name is taken) so the user keeps its bytes, and
// tells its caller where it went (the scene manager shows it).
//
// Layout of a written file (TinyXML's printer, four spaces per level):
//
//   <?xml version="1.0" encoding="UTF-8" ?>
//   <SCENES>
//       <SCENE Name="Interview">
//           <VZONE>
//               <SOURCE_ID>0</SOURCE_ID>          slot number, 0..9
//               <POSITION>VIDPOS_CENTER</POSITION> one of the eight placement keys
//               <WIDTH>5000</WIDTH>               hundredths of a percent of the
//               <HEIGHT>5000</HEIGHT>             program picture (10000 = all)
//               <POS_X>0</POS_X>
//               <POS_Y>0</POS_Y>
//               <ALPHA>0</ALPHA>                  0..255
//               <CHROMA>0</CHROMA>                1 or 0
//               <KEEP_AR>1</KEEP_AR>              1 or 0
//           </VZONE>
//       </SCENE>
//   </SCENES>
//
// Reading (the writer never produces the odd cases; hand-edited, old or
// damaged files may hold them):
// - The scenes are the first SCENE element of the SCENES root and every
//   element that follows it, whatever its name. Within a scene the zones are
//   its first VZONE element and every element that follows it. Comments and
//   other nodes that are not elements are ignored. No SCENES root or no
//   SCENE in it is an empty list, not an error.
// - Each value is the text of the first child element of that name, read as
//   C's atoi does (leading white space, one sign, the digits up to the first
//   other character; no digits is 0), values beyond 32 bits clamped. A value
//   element that is missing, or present without any text, gives the default:
//   SOURCE_ID 0, POSITION VIDPOS_CENTER, WIDTH/HEIGHT/POS_X/POS_Y/ALPHA/CHROMA
//   0, KEEP_AR 1. A POSITION that is none of the keys exactly (letter case
//   counts) is VIDPOS_CENTER. ALPHA keeps its low byte (300 is 44). CHROMA
//   and KEEP_AR are set when not 0. The percentages are value / 100.
// - Zones whose SOURCE_ID is outside 0..9 are dropped.
// - A scene left without zones (none in the file, or all dropped) is dropped
//   too, and the later scenes move up: the scene manager lists only scenes
//   with zones and addresses scenes by list position, so a scene without
//   zones would put every later scene one position out of step.
// - At most MaxScenes (20) scenes are taken: the first 20 that are kept;
//   further scene elements are ignored.
// - A scene without a Name attribute has an empty name. Names are UTF-8:
//   malformed bytes become U+FFFD, a NUL ends the name, and names are cut to
//   99 characters.
// - A text does not parse when TinyXML finds it malformed, when it holds a
//   NUL byte, or when it nests elements deeper than kMaxXmlDepth or gives an
//   element more than kMaxXmlAttributes attributes: the parser recurses once
//   per level and checks attribute names by a linear search, so such texts
//   could overflow the stack or take minutes.
//
// Writing:
// - Scenes 0 .. sceneCount-1 that have zones are written in order. Entries
//   at or above sceneCount are not part of the list (a load of a shorter
//   list leaves them as they were); writing them would bring them back.
// - WIDTH, HEIGHT, POS_X, POS_Y are the percentage times 100 in double
//   precision, truncated toward zero (12.345 is written as 1234), except
//   that a percentage which is exactly the float nearest a whole number of
//   hundredths is written as that number. A loaded value n becomes the float
//   of n / 100, often just below it (57 reads as 0.5699999...); truncating
//   that would lose a hundredth at every load and save. Values beyond 32 bits are clamped,
//   NaN is written as 0.
// - Names are written after the same UTF-8 cleaning as on reading, so a
//   written file reads back to the same list.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "engine/video_engine.h"
#include "engine/video_zone.h"
#include "studio/files/xml_file.h"

namespace corvalind {

inline constexpr const char* kSceneListFileName = "scenes.xml";

// DocumentsFolder()/Corvalind/fileName. Nothing is created.
std::string SceneListPath(const std::string& fileName);

// Parses a document text into scenes by the reading rules above. Returns
// false when the text does not parse (scenes untouched); otherwise replaces
// *scenes with the list (at most MaxScenes, each with at least one zone).
// The zones' pixel fields are left 0: they depend on the program size and
// are derived when the list reaches the engine.
bool ParseSceneList(const std::string& xmlText, std::vector<Scene>* scenes);
// The same for a parsed document.
bool ReadSceneDocument(const TiXmlDocument& document, std::vector<Scene>* scenes);

// The document text for a scene table, by the writing rules above.
std::string FormatSceneList(const SceneTable& table);

enum class SceneListStatus {
  kLoaded,      // the file was read and its list swapped into the engine
  kMissing,     // there is no file (a first run): nothing to load
  kUnreadable,  // something has the file's name but gives no list
};

// What a load found. Converts to true only for kLoaded, so a plain
// "did it load" test reads as before.
struct SceneListLoad {
  SceneListStatus status = SceneListStatus::kMissing;
  std::string path;    // the file looked at: SceneListPath(fileName)
  std::string keptAs;  // kUnreadable: where it was moved; empty when it could not be
  explicit operator bool() const { return status == SceneListStatus::kLoaded; }
};

// Reads SceneListPath(fileName) and swaps the list into the engine
// (ReplaceScenes: scenes 0..n-1 and sceneCount = n; entries from n on stay
// as they were). The engine is untouched unless the status is kLoaded. A
// file that is missing (also when a folder on the way is) is kMissing;
// anything else under the name that cannot be read as a list (not a
// regular file, larger than kMaxXmlFileBytes, unreadable, empty or not
// parsing) is kUnreadable and is moved aside as described above, so that
// a later save cannot replace it.
SceneListLoad LoadScenes(VideoEngine& engine, const std::string& fileName);

// Writes the engine's list to SceneListPath(fileName), creating the folders
// when needed. The text goes to a neighbour file that is flushed and then
// renamed over the old one, so a crash leaves the old file or the new one,
// never part of one. Returns whether the file was written.
bool SaveScenes(const VideoEngine& engine, const std::string& fileName);

}  // namespace corvalind
