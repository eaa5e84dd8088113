import { openTable } from 'velmora-csv';

const table = openTable('examples/data/cities.csv');   // UTF-16, ';': detected
try {
  console.log(table.rowCount, table.columnCount, table.headers());
  for (const row of table.search('note', 'capital')) console.log(row.city);
  const biggest = table.sort('population', { descending: true })[0];
  console.log(biggest.city, table.stats().columns[2].mean);
} finally {
  table.close();
}
