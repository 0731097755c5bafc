/* Removal of a directory the runtime made, with everything in it. */
#ifndef PELLARK_RUNTIME_REMOVE_TREE_H
#define PELLARK_RUNTIME_REMOVE_TREE_H

/* Removes `path` and, if it is a directory, its contents, never following a symbolic link.
 * Directories that an extracted image made read-only are opened up first. A missing path is not
 * an error. Returns 0, or -1 with errno set when anything was left behind. */
int remove_tree(const char* path);

#endif
