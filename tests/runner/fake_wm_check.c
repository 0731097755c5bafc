/* Announces a window manager by name the EWMH way and does nothing else: a check window that
 * the root's _NET_SUPPORTING_WM_CHECK names, carrying _NET_WM_NAME. Prints the check window's id
 * once everything is set, then keeps it until it is ended. */
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s WM-NAME\n", argv[0]);
    return 2;
  }
  Display* display = XOpenDisplay(NULL);
  if (display == NULL) return 1;
  Window root = DefaultRootWindow(display);
  Window check = XCreateSimpleWindow(display, root, -1, -1, 1, 1, 0, 0, 0);
  Atom supporting = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
  Atom wm_name = XInternAtom(display, "_NET_WM_NAME", False);
  Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  /* The check window names itself too, as EWMH asks; the root's property goes last, so a
   * client that sees it finds the check window complete. */
  XChangeProperty(display, check, supporting, XA_WINDOW, 32, PropModeReplace,
                  (const unsigned char*)&check, 1);
  XChangeProperty(display, check, wm_name, utf8, 8, PropModeReplace, (const unsigned char*)argv[1],
                  (int)strlen(argv[1]));
  XChangeProperty(display, root, supporting, XA_WINDOW, 32, PropModeReplace,
                  (const unsigned char*)&check, 1);
  XSync(display, False);
  printf("0x%lx\n", check);
  fflush(stdout);
  for (;;) pause();
}
