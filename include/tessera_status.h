/**
 * \file tessera_status.h
 * \brief One sentence for each status number the library returns in `ierr`.
 *
 * Header-only C, shared by every host and layer that reports a status to a
 * person: the `tessera` program, the C++ header, the Python module.
 *
 * \code
 * if (ierr != 0) fprintf(stderr, "hmnewf: %s (status %d)\n", tessera_status_text(ierr), ierr);
 * \endcode
 */
#ifndef TESSERA_STATUS_H
#define TESSERA_STATUS_H

#ifdef __cplusplus
extern "C" {
#endif

/**
 * \brief The meaning of a status number, as one sentence.
 *
 * \param status  a value returned in `ierr` (::tessera_status, or a negative
 *                column number from the dense solver)
 * \return a static, NUL-terminated sentence; never null
 */
static inline const char *tessera_status_text(int status) {
  if (status < 0) {
    return "The dense solver refused a pivot: the block is singular or indefinite at the "
           "column given by minus the status.";
  }
  switch (status) {
    case 0: return "Success.";
    case 1: return "The record length differs from that of the first file set of this control area.";
    case 2: return "Bad file-set argument: record length, number of files, a file name, or a "
                   "file-set handle that names no open file set.";
    case 3: return "The record is too small to hold one element of this type.";
    case 4: return "File sets are still open when the control area is closed in checking mode.";
    case 9: return "A matrix is still open: the file set has an open matrix, or the matrix is "
                   "already open.";
    case 10: return "The column counts of the matrices differ.";
    case 11: return "The number of columns is below 1.";
    case 13: return "The element types of the matrices differ.";
    case 14: return "Bad element type code or number of items per element.";
    case 16: return "The shapes of the matrices do not conform.";
    case 17: return "A matrix of this name and qualifier already exists in the file set.";
    case 19: return "The storage forms of the matrices differ.";
    case 20: return "Bad storage form.";
    case 29: return "The row counts of the matrices differ.";
    case 30: return "The number of rows is below 1.";
    case 31: return "No such matrix, or the handle names no open matrix.";
    case 32: return "The numbers of items per element differ.";
    case 35: return "The matrix was opened read-only.";
    case 37: return "The region lies outside the matrix, or a count or leading dimension is below 1.";
    case 38: return "A matrix of a one-column type cannot be copied transposed.";
    case 39: return "An upper-triangular matrix cannot be copied transposed.";
    case 100: return "The control area is not initialised, or Xerror, Xcache or Xchosky is not "
                     "linked.";
    case 101: return "The control area is too small.";
    case 105: return "The buffer pool is too small for one hyperblock.";
    case 161: return "A physical file could not be created or opened.";
    case 162: return "A physical file could not be closed.";
    case 163: return "A physical file could not be extended.";
    case 164: return "A record could not be read, or a stored file set is unsound.";
    case 165: return "A record could not be written.";
    case 170: return "A table, list or pool of the control area is full.";
    default: return "Unknown status number.";
  }
}

#ifdef __cplusplus
}
#endif

#endif /* TESSERA_STATUS_H */
