#include "main/CorvasselMain.h"

int main() {
  return CorvasselHelperMain();
}
