/* The exec floor: a program that does nothing, built and linked like the
 * tool, so that its run time is what starting any such process costs. */
int main(void)
{
	return 0;
}
