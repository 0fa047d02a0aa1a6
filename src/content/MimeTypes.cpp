// Content types by file extension: the fixed table and its lookup.
#include "content/MimeTypes.h"

#include <initializer_list>
#include <string_view>

#include "server/ServerState.h"

namespace {

struct TMimeLine {
  std::initializer_list<const char*> Extensions;
  const char* Type;
};

// Every extension lower case and in one line only; the order is the lookup order.
const TMimeLine kMimeLines[] = {
    {{"htm", "html", "shtm", "sht", "shtml", "dhtm", "dht", "dhtml", "xhtm", "xht", "xhtml", "phtm",
      "pht", "phtml"},
     "text/html"},
    {{"xml", "xsl"}, "text/xml"},
    {{"txt", "ans", "rus", "nfo", "me", "log"}, "text/plain"},
    {{"js"}, "text/javascript"},
    {{"vbs"}, "text/vbscript"},
    {{"gif"}, "image/gif"},
    {{"jpg", "jpe", "jfif", "jpeg"}, "image/jpeg"},
    {{"png"}, "image/png"},
    {{"tiff", "tif"}, "image/tiff"},
    {{"xbm"}, "image/x-xbitmap"},
    {{"art"}, "image/x-jg"},
    {{"bmp"}, "image/bmp"},
    {{"ivf"}, "video/x-ivf"},
    {{"qt", "mov"}, "video/quicktime"},
    {{"avi"}, "video/avi"},
    {{"enc", "mpg", "m1v", "mpa", "mpe", "mpeg", "mpv2"}, "video/mpeg"},
    {{"asf", "lsf", "asr", "asx", "lsx"}, "video/x-ms-asf"},
    {{"vdo"}, "video/vdo"},
    {{"aiff", "aif", "aifc"}, "audio/aiff"},
    {{"au", "snd"}, "audio/basic"},
    {{"wav"}, "audio/wav"},
    {{"hta"}, "application/hta"},
    {{"rar"}, "application/x-rar-compressed"},
    {{"doc", "wiz", "dot"}, "application/msword"},
    {{"xls", "xlb"}, "application/vnd.ms-excel"},
    {{"ppt", "pps", "pwz", "ppa", "pot"}, "application/vnd.ms-powerpoint"},
    {{"pdf"}, "application/pdf"},
    {{"fdf"}, "application/vnd.fdf"},
    {{"cab"}, "application/x-compressed"},
    {{"iii"}, "application/x-iphone"},
    {{"ins", "isp"}, "application/x-internet-signup"},
    {{"mhtml", "mht", "eml", "nws"}, "message/rfc822"},
    {{"pfx", "p12"}, "application/x-pkcs12"},
    {{"prf"}, "application/pics-rules"},
    {{"ra", "rm", "rmm", "ram"}, "audio/x-pn-realaudio"},
    {{"rts"}, "application/x-rtsl"},
    {{"spl", "swf"}, "application/futuresplash"},
    {{"wrz", "vrml", "wrl"}, "model/vrml"},
    {{"it", "xm", "s3m", "stm", "mod", "dsm", "med", "ult", "mm", "669", "mp3", "mp2", "mp1"},
     "audio/mpeg"},
    {{"m3u", "pls"}, "audio/x-mpegurl"},
    {{"zip"}, "application/x-zip-compressed"},
    {{"p10"}, "application/pkcs10"},
    {{"cat"}, "application/vnd.ms-pki.seccat"},
    {{"pko"}, "application/vnd.ms-pki.pko"},
    {{"p7r"}, "application/x-pkcs7-certreqresp"},
    {{"p7s"}, "application/pkcs7-signature"},
    {{"exe"}, "application/x-msdownload"},
    {{"crt", "der", "cer"}, "application/pkix-cert"},
    {{"spc", "p7b"}, "application/x-pkcs7-certificates"},
    {{"uls"}, "text/iuls"},
    {{"p7m", "p7c"}, "application/pkcs7-mime"},
    {{"stl"}, "application/vnd.ms-pki.stl"},
    {{"crl"}, "application/pkix-crl"},
    {{"wsc", "sct"}, "text/scriptlet"},
    {{"323"}, "text/h323"},
    {{"rmi", "mid", "midi"}, "audio/mid"},
    {{"vcf"}, "text/x-vcard"},
    {{"cdf"}, "application/x-cdf"},
    {{"sst"}, "application/vnd.ms-pki.certstore"},
    {{"htt"}, "text/webviewhtml"},
    {{"css"}, "text/css"},
    // What a home folder holds today, so that browsers play and show it instead of saving it.
    {{"mp4", "m4v"}, "video/mp4"},
    {{"webm"}, "video/webm"},
    {{"ogv"}, "video/ogg"},
    {{"ogg", "oga", "opus"}, "audio/ogg"},
    {{"m4a"}, "audio/mp4"},
    {{"flac"}, "audio/flac"},
    {{"vtt"}, "text/vtt"},
    {{"webp"}, "image/webp"},
    {{"avif"}, "image/avif"},
    {{"svg"}, "image/svg+xml"},
    {{"json"}, "application/json"},
    {{"wasm"}, "application/wasm"},
    {{"woff"}, "font/woff"},
    {{"woff2"}, "font/woff2"},
    {{"csv"}, "text/csv"},
    {{"mjs"}, "text/javascript"},
};

}  // namespace

void FillMimeTable(std::vector<std::string>& MimeTable) {
  MimeTable.clear();
  for (const TMimeLine& line : kMimeLines) {
    std::string text;
    for (const char* extension : line.Extensions) {
      text += ';';
      text += extension;
      text += ';';
    }
    text += ':';
    text += line.Type;
    MimeTable.push_back(std::move(text));
  }
}

namespace {

// Where the extension of a local path begins (after its '.'), or npos when it has none: the
// last '.' counts only after the last ':' and '/'.
size_t ExtensionStart(const std::string& path) {
  for (size_t k = path.size(); k > 0; --k) {
    const char c = path[k - 1];
    if (c == '.') return k;
    if (c == ':' || c == '/') break;
  }
  return std::string::npos;
}

}  // namespace

bool ExtractExtension(const std::string& LocalPath, std::string& Extension) {
  const size_t start = ExtensionStart(LocalPath);
  if (start == std::string::npos) {
    Extension.clear();
    return false;
  }
  Extension.assign(LocalPath, start);
  return true;
}

namespace {

// True when the line holds ";extension;". The extension itself is looked for, not the ';' that
// begins every entry: its first letter is rare in a line, so a line that does not list it (most
// lines, all of them for an unknown extension) costs one scan and no comparison.
bool ListsExtension(std::string_view line, std::string_view extension) {
  if (extension.empty()) return line.find(";;") != std::string_view::npos;
  for (size_t at = line.find(extension, 1); at != std::string_view::npos;
       at = line.find(extension, at + 1)) {
    const size_t end = at + extension.size();
    if (line[at - 1] == ';' && end < line.size() && line[end] == ';') return true;
  }
  return false;
}

}  // namespace

std::string GetContentType(TServerState& Server, const std::string& LocalPath) {
  const size_t start = ExtensionStart(LocalPath);
  const std::string_view extension =
      start == std::string::npos ? std::string_view() : std::string_view(LocalPath).substr(start);
  // Letter case is kept: "INDEX.HTM" is not found, and a bare name finds ";;" in the first line.
  for (const std::string& line : Server.MimeTable) {
    if (!ListsExtension(line, extension)) continue;
    size_t colon = line.find(':');
    if (colon != std::string::npos && colon + 1 < line.size()) return line.substr(colon + 1);
  }
  return "application/octet-stream";
}
