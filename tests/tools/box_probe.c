// Reads the message box that is on the screen as a user sees it, for the boxes test under a
// virtual X server. Usage: box_probe.exe TITLE OUTPUT_FILE. Finds the visible dialog window
// of that title and writes to OUTPUT_FILE, one item a line:
//   title TAB the window's title
//   text TAB each visible text of the box (\r, \n and \\ escaped)
//   icon TAB x TAB y TAB width TAB height: each icon shown, where it is on the screen,
//        followed by each system icon drawn at that size (see WriteSystemIcons)
//   button TAB its text TAB x TAB y: each visible button and its centre on the screen
// Exit code 0, or 2 when no such window was found.
#include <stdio.h>
#include <windows.h>

static FILE* out;

static void WriteEscaped(const char* text) {
  for (; *text != '\0'; ++text) {
    if (*text == '\r') {
      fputs("\\r", out);
    } else if (*text == '\n') {
      fputs("\\n", out);
    } else if (*text == '\\') {
      fputs("\\\\", out);
    } else {
      fputc(*text, out);
    }
  }
}

// Each system icon drawn at the control's size over black and over white, as RGB hex: the
// runner composes them over the box's background and compares them with the screen.
static void WriteSystemIcons(int width, int height) {
  static const struct {
    LPCSTR id;
    const char* name;
  } icons[] = {{IDI_ERROR, "error"},
               {IDI_WARNING, "warning"},
               {IDI_INFORMATION, "information"},
               {IDI_QUESTION, "question"}};
  BITMAPINFO format = {0};
  format.bmiHeader.biSize = sizeof format.bmiHeader;
  format.bmiHeader.biWidth = width;
  format.bmiHeader.biHeight = -height;  // top row first
  format.bmiHeader.biPlanes = 1;
  format.bmiHeader.biBitCount = 32;
  format.bmiHeader.biCompression = BI_RGB;
  RECT area = {0, 0, width, height};
  for (size_t at = 0; at < sizeof icons / sizeof icons[0]; ++at) {
    for (int over = 0; over < 2; ++over) {
      void* bits = NULL;
      HDC drawn = CreateCompatibleDC(NULL);
      HBITMAP bitmap = CreateDIBSection(drawn, &format, DIB_RGB_COLORS, &bits, NULL, 0);
      HGDIOBJ previous = SelectObject(drawn, bitmap);
      FillRect(drawn, &area, (HBRUSH)GetStockObject(over ? WHITE_BRUSH : BLACK_BRUSH));
      DrawIconEx(drawn, 0, 0, LoadIconA(NULL, icons[at].id), width, height, 0, NULL, DI_NORMAL);
      GdiFlush();
      fprintf(out, "rendering\t%s\t%s\t", icons[at].name, over ? "white" : "black");
      const unsigned char* pixel = bits;
      for (int count = 0; count < width * height; ++count, pixel += 4) {
        fprintf(out, "%02x%02x%02x", pixel[2], pixel[1], pixel[0]);
      }
      fputc('\n', out);
      SelectObject(drawn, previous);
      DeleteObject(bitmap);
      DeleteDC(drawn);
    }
  }
}

static BOOL CALLBACK DescribeChild(HWND child, LPARAM unused) {
  (void)unused;
  if (!IsWindowVisible(child)) {
    return TRUE;
  }
  char class_name[64], text[2048];
  GetClassNameA(child, class_name, sizeof class_name);
  GetWindowTextA(child, text, sizeof text);
  LONG style = GetWindowLongA(child, GWL_STYLE);
  if (lstrcmpiA(class_name, "Static") == 0 && (style & SS_TYPEMASK) == SS_ICON) {
    // A box without an icon may keep an empty icon control.
    if (SendMessageA(child, STM_GETICON, 0, 0) != 0) {
      RECT area;
      GetClientRect(child, &area);
      POINT corner = {0, 0};
      ClientToScreen(child, &corner);
      fprintf(out, "icon\t%ld\t%ld\t%ld\t%ld\n", corner.x, corner.y, area.right, area.bottom);
      WriteSystemIcons(area.right, area.bottom);
    }
  } else if (lstrcmpiA(class_name, "Static") == 0) {
    fputs("text\t", out);
    WriteEscaped(text);
    fputc('\n', out);
  } else if (lstrcmpiA(class_name, "Button") == 0) {
    RECT place;
    GetWindowRect(child, &place);
    fprintf(out, "button\t%s\t%ld\t%ld\n", text, (place.left + place.right) / 2,
            (place.top + place.bottom) / 2);
  }
  return TRUE;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    return 2;
  }
  HWND box = FindWindowA("#32770", argv[1]);
  if (box == NULL || !IsWindowVisible(box)) {
    return 2;
  }
  out = fopen(argv[2], "wb");
  if (out == NULL) {
    return 3;
  }
  char title[256];
  GetWindowTextA(box, title, sizeof title);
  fprintf(out, "title\t%s\n", title);
  EnumChildWindows(box, DescribeChild, 0);
  fclose(out);
  return 0;
}
