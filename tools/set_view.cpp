#include "set_view.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "tessera_status.h"

namespace tessera::tool {

SetView::SetView(const std::vector<std::string> &files, int not_a_set_status) : files_(files) {
  std::vector<const char *> names;
  for (const std::string &f : files_) names.push_back(f.c_str());
  char message[1024] = "";
  const int result = tessera_view_open(static_cast<int32_t>(names.size()), names.data(), &view_,
                                       message, sizeof message);
  if (result != TESSERA_VIEW_OK) {
    throw UserError(message[0] != '\0' ? message : "the files cannot be read as a file set",
                    not_a_set_status);
  }
  const int32_t count = tessera_view_matrix_count(view_);
  for (int32_t i = 0; i < count; ++i) {
    tessera_matrix_info m{};
    tessera_view_matrix(view_, i, &m);
    matrices_.push_back(m);
  }
}

SetView::~SetView() { tessera_view_close(view_); }

tessera_set_info SetView::set() const {
  tessera_set_info info{};
  tessera_view_set(view_, &info);
  return info;
}

int32_t SetView::find(const std::string &name, std::optional<int32_t> qualifier) const {
  const std::vector<unsigned char> key = stored_name(name);
  std::vector<int32_t> hits;
  for (size_t i = 0; i < matrices_.size(); ++i) {
    const tessera_matrix_info &m = matrices_[i];
    if (std::memcmp(m.name, key.data(), key.size()) != 0) continue;
    if (qualifier && m.qualifier != *qualifier) continue;
    hits.push_back(static_cast<int32_t>(i));
  }
  if (hits.size() == 1) return hits[0];
  std::string list;
  for (const tessera_matrix_info &m : matrices_) list += "\n  " + matrix_label(m);
  if (hits.empty()) {
    std::string what = "no matrix \"" + name + "\"";
    if (qualifier) what += " with qualifier " + std::to_string(*qualifier);
    what += " in the set; ";
    throw UserError(matrices_.empty() ? what + "it holds no matrix"
                                      : what + "it holds:" + list);
  }
  throw UserError("several matrices are named \"" + name +
                  "\"; give --qualifier to choose one:" + list);
}

std::vector<std::pair<int32_t, int32_t>> SetView::blocks(int32_t index) const {
  int64_t count = 0;
  int result = tessera_view_blocks(view_, index, nullptr, nullptr, 0, &count);
  std::vector<int32_t> rows(static_cast<size_t>(count)), cols(static_cast<size_t>(count));
  if (result == TESSERA_VIEW_OK) {
    result = tessera_view_blocks(view_, index, rows.data(), cols.data(), count, &count);
  }
  if (result != TESSERA_VIEW_OK) {
    throw UserError("the block index of matrix " + matrix_label(matrices_[index]) +
                    " is damaged; run tessera check for the details");
  }
  std::vector<std::pair<int32_t, int32_t>> out;
  for (size_t i = 0; i < rows.size(); ++i) out.emplace_back(rows[i], cols[i]);
  return out;
}

void SetView::get(int32_t index, int32_t i1, int32_t nr, int32_t j1, int32_t nc, void *a,
                  int32_t lda) const {
  int32_t status = 0;
  const int result = tessera_view_get(view_, index, i1, nr, j1, nc, a, lda, &status);
  if (result == TESSERA_VIEW_OK) return;
  const std::string who = "matrix " + matrix_label(matrices_[index]);
  if (result == TESSERA_VIEW_DAMAGED) {
    throw UserError(who + " is damaged and is not read; run tessera check for the details");
  }
  if (result == TESSERA_VIEW_READ_FAILED) {
    throw UserError("the library refused to read " + who + ": " + tessera_status_text(status) +
                    " (status " + std::to_string(status) + ")");
  }
  throw UserError("reading " + who + " failed (" + std::to_string(result) + ")");
}

std::string display_name(const tessera_matrix_info &m) {
  size_t length = sizeof m.name;
  while (length > 0 && (m.name[length - 1] == ' ' || m.name[length - 1] == '\0')) --length;
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char ch = m.name[i];
    if (std::isprint(ch) && ch != '\\') {
      out += static_cast<char>(ch);
    } else {
      char esc[5];
      std::snprintf(esc, sizeof esc, "\\x%02x", ch);
      out += esc;
    }
  }
  return out;
}

std::string matrix_label(const tessera_matrix_info &m) {
  return "\"" + display_name(m) + "\" (qualifier " + std::to_string(m.qualifier) + ")";
}

std::vector<unsigned char> stored_name(const std::string &name) {
  if (name.empty() || name.size() > 12) {
    throw UserError("a matrix name has 1 to 12 characters; \"" + name + "\" has " +
                    std::to_string(name.size()));
  }
  std::vector<unsigned char> out(12, ' ');
  std::memcpy(out.data(), name.data(), name.size());
  return out;
}

namespace {
const char *const kTypeNames[] = {"",        "int",           "float",          "int[k]",
                                  "double",  "complex-float", "complex",        "float[k]",
                                  "double[k]", "complex-float[k]", "complex[k]", "int column",
                                  "int[k] column"};
}  // namespace

std::string type_name(int32_t type, int32_t items) {
  if (type < 1 || type > 12) return "type " + std::to_string(type);
  std::string name = kTypeNames[type];
  const size_t k = name.find("[k]");
  if (k != std::string::npos) name.replace(k, 3, "[" + std::to_string(items) + "]");
  return name;
}

std::string form_name(int32_t form) {
  switch (form) {
    case 1: return "symmetric";
    case 5: return "diagonal";
    case 6: return "upper";
    case 2:
    case 3:
    case 4: return "general";
    default: return "form " + std::to_string(form);
  }
}

int32_t element_words(int32_t type, int32_t items) {
  int32_t per_item = 4;
  switch (type) {
    case 1: case 2: case 3: case 7: case 11: case 12: per_item = 1; break;
    case 4: case 5: case 8: case 9: per_item = 2; break;
    default: break;
  }
  return per_item * (items < 1 ? 1 : items);
}

std::string byte_size(double bytes) {
  const char *units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
  int u = 0;
  while (bytes >= 1024 && u < 4) {
    bytes /= 1024;
    ++u;
  }
  char text[32];
  std::snprintf(text, sizeof text, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
  return text;
}

std::pair<int32_t, int32_t> parse_range(const std::string &text, int32_t limit,
                                        const std::string &option) {
  auto number = [&](const std::string &s, int32_t fallback) -> int64_t {
    if (s.empty()) return fallback;
    size_t used = 0;
    long long v = 0;
    try {
      v = std::stoll(s, &used);
    } catch (const std::exception &) {
      used = 0;
    }
    if (used != s.size()) {
      throw UserError(option + " " + text + ": expected A:B with whole numbers");
    }
    return v;
  };
  const size_t colon = text.find(':');
  int64_t first = 0, last = 0;
  if (colon == std::string::npos) {
    first = last = number(text, 1);
  } else {
    first = number(text.substr(0, colon), 1);
    last = number(text.substr(colon + 1), limit);
  }
  if (first < 1 || last > limit || first > last) {
    throw UserError(option + " " + text + " is not a range inside 1:" + std::to_string(limit));
  }
  return {static_cast<int32_t>(first), static_cast<int32_t>(last)};
}

}  // namespace tessera::tool
