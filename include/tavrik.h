/*
 * tavrik: gives PDF files meaningful names.
 *
 * Strategies: 0 = title, 1 = first line of page text, 2 = date and title.
 * Texts are NUL-terminated byte strings; names are UTF-8. Results live in two
 * static buffers owned by the library (the last error or status message and the
 * last result path) that the next call writing the same buffer overwrites.
 * The library is not reentrant: a host must not overlap calls.
 */
#ifndef TAVRIK_H
#define TAVRIK_H

#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(TAVRIK_BUILDING)
#    define TAVRIK_API __declspec(dllexport)
#  else
#    define TAVRIK_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__) || defined(__clang__)
#  define TAVRIK_API __attribute__((visibility("default")))
#else
#  define TAVRIK_API
#endif

#ifdef __cplusplus
#  define TAVRIK_NOEXCEPT noexcept
extern "C" {
#else
#  define TAVRIK_NOEXCEPT
#endif

/* Resets the error buffer to "no error" and empties the result buffer. Returns 1. */
TAVRIK_API int tavrik_init(void) TAVRIK_NOEXCEPT;

/* Empties the result buffer; the error buffer keeps its message. */
TAVRIK_API void tavrik_cleanup(void) TAVRIK_NOEXCEPT;

/* Suggests a file name ending in ".pdf" for the PDF at input_path (may be NULL)
 * by strategy 0, 1 or 2. Returns the result buffer, never NULL: the name, or
 * empty text on failure with the reason in tavrik_last_error(). */
TAVRIK_API const char *tavrik_suggest(const char *input_path, int strategy) TAVRIK_NOEXCEPT;

/* Moves the PDF at input_path under its suggested name into output_dir (NULL or
 * empty: the file's own directory), never replacing an existing file. Returns 1
 * when moved or already named correctly (the result buffer holds the destination
 * path), 0 on failure (the reason in the error buffer). */
TAVRIK_API int tavrik_rename(const char *input_path, int strategy, const char *output_dir) TAVRIK_NOEXCEPT;

/* Renames every *.pdf file of input_dir (NULL or empty is an error) into
 * output_dir (NULL or empty: in place). Note the argument order. Returns the
 * number of files renamed; a summary message is left in the error buffer. The
 * result buffer is not touched. */
TAVRIK_API int tavrik_batch(const char *input_dir, const char *output_dir, int strategy) TAVRIK_NOEXCEPT;

/* The error buffer: "no error", an error message, or a status message. */
TAVRIK_API const char *tavrik_last_error(void) TAVRIK_NOEXCEPT;

/* The result buffer: the last suggested name or destination path, or empty text. */
TAVRIK_API const char *tavrik_last_result_path(void) TAVRIK_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* TAVRIK_H */
