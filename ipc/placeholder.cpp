// placeholder; removed once the folder has code
