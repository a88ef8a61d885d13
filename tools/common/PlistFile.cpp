// Stand-in: replaced by the shared property-list code of the tools.
