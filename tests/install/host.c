/* A host built against an installed ostrel: plays one stream on a controller and says whether
 * the frame was delivered. Usage: host PORT URL (the controller listens on 127.0.0.1:PORT). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <ostrel/ostrel.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s PORT URL\n", argv[0]);
    return 2;
  }
  int wall = -1;
  Ostrel_Initialize();
  if (Ostrel_OpenTvWall("127.0.0.1", atoi(argv[1]), &wall) != 0) {
    fprintf(stderr, "host: could not register the controller\n");
    return 1;
  }
  int result = Ostrel_StartPlay(wall, "1", 2, argv[2]);
  int outcome = Ostrel_LastErrorCode();
  printf("host: library %s, start-play %d, outcome %d (%s)\n", Ostrel_Version(), result, outcome,
         Ostrel_OutcomeText(outcome));
  Ostrel_CloseTvWall(wall);
  Ostrel_Finalize();
  return result == 0 && outcome == OSTREL_OK && strcmp(Ostrel_Version(), "V2.0") == 0 ? 0 : 1;
}
