/* The smallest program there is: the start cost of a dynamically linked C
   program, measured beside dorq's own start. */
int main(void) {
  return 0;
}
