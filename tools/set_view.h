// What the file-set commands share: a stored set opened for reading through
// the self-check's view (tessera_check.h), matrices looked up by name, and
// the words users read (type and form names, sizes).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tessera_check.h"

namespace tessera::tool {

// A failure the user can mend (a missing file, an unknown matrix name, a bad
// option value): the message says what is wrong; the command prints it and
// exits with its failure status.
class UserError : public std::runtime_error {
 public:
  explicit UserError(const std::string &what, int status = 1)
      : std::runtime_error(what), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

class SetView {
 public:
  // Opens the set; a set the files do not make is a UserError whose status
  // is `not_a_set_status`, with the view's sentence as its message.
  explicit SetView(const std::vector<std::string> &files, int not_a_set_status = 1);
  ~SetView();
  SetView(const SetView &) = delete;
  SetView &operator=(const SetView &) = delete;

  tessera_view *get() const { return view_; }
  tessera_set_info set() const;
  const std::vector<tessera_matrix_info> &matrices() const { return matrices_; }
  const std::vector<std::string> &files() const { return files_; }

  // The matrix of that name (and qualifier, when given): its index. A name
  // no matrix has, or one several qualifiers share when none was given, is
  // a UserError that lists the matrices of the set.
  int32_t find(const std::string &name, std::optional<int32_t> qualifier) const;

  // Stored blocks of matrix `index` as (block row, block column), 1-based.
  std::vector<std::pair<int32_t, int32_t>> blocks(int32_t index) const;

  // A region of matrix `index` into `a` (lda elements a column), through
  // the library's get; failures are UserErrors naming the matrix.
  void get(int32_t index, int32_t i1, int32_t nr, int32_t j1, int32_t nc, void *a,
           int32_t lda) const;

 private:
  std::vector<std::string> files_;
  tessera_view *view_ = nullptr;
  std::vector<tessera_matrix_info> matrices_;
};

// The name as the user writes it: trailing blanks (and NULs) dropped,
// other bytes that do not print shown as \xNN.
std::string display_name(const tessera_matrix_info &m);
// "A" (qualifier 1)
std::string matrix_label(const tessera_matrix_info &m);
// The 12 bytes a name is stored as: the name padded with blanks; a name
// longer than 12 bytes is a UserError.
std::vector<unsigned char> stored_name(const std::string &name);

// Element types and storage forms as users name them.
std::string type_name(int32_t type, int32_t items);
std::string form_name(int32_t form);
// Words a value of the type takes: 1, 2 or 4 per item, times the items.
int32_t element_words(int32_t type, int32_t items);
// Bytes as "8.0 KiB", "2.5 MiB", ...
std::string byte_size(double bytes);

// Parses "A:B" (1-based, inclusive; either end may be left out, "A" alone
// is one index) against 1..limit. The option name goes into messages.
std::pair<int32_t, int32_t> parse_range(const std::string &text, int32_t limit,
                                        const std::string &option);

}  // namespace tessera::tool
