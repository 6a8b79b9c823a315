/* The floor for Tervox's run time: a process that only opens a pcap dump, closes it and exits. */
#include <pcap/pcap.h>
#include <stdio.h>

int main(int argc, char *argv[]) {
  if (argc != 2) {
    fprintf(stderr, "usage: pcap_floor OUTPUT\n");
    return 2;
  }
  pcap_t *handle = pcap_open_dead(1, 65535);
  pcap_dumper_t *dumper = handle != NULL ? pcap_dump_open(handle, argv[1]) : NULL;
  if (dumper == NULL) {
    return 1;
  }
  pcap_close(handle);
  pcap_dump_close(dumper);
  return 0;
}
